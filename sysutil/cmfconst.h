// Fixed texts and names shared by the installer, the uninstaller and the packer.
#pragma once

#include <string_view>

#include "sysutil/texts.h"

namespace kestrel {

// Outcomes of extracting one file; the wizard shows the failures to the user in its language.
inline constexpr std::u16string_view kStatusExtracted = u"Extracted";
inline constexpr StatusText kStatusNoFolder{TextId::status_no_folder};
inline constexpr StatusText kStatusFileExists{TextId::status_file_exists};
inline constexpr std::u16string_view kStatusCannotCreatePrefix = u"Unable to create file (";
inline constexpr StatusText kStatusSeekFailed{TextId::status_seek_failed};
inline constexpr StatusText kStatusCorrupt{TextId::status_corrupt};
inline constexpr StatusText kStatusReadFailed{TextId::status_read_failed};
inline constexpr StatusText kStatusWriteFailed{TextId::status_write_failed};

inline constexpr std::u16string_view kUninstallerName = u"kestrelui.exe";
inline constexpr std::u16string_view kUninstallSwitch = u"-ui";

}  // namespace kestrel
