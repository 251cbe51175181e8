// Fixed texts and names shared by the installer, the uninstaller and the packer.
#pragma once

#include <string_view>

namespace kestrel {

// Outcomes of extracting one file; the wizard shows the failures to the user verbatim.
inline constexpr std::u16string_view kStatusExtracted = u"Extracted";
inline constexpr std::u16string_view kStatusNoFolder =
    u"Unable to create destination directory for file!";
inline constexpr std::u16string_view kStatusFileExists = u"File already exists";
inline constexpr std::u16string_view kStatusCannotCreatePrefix = u"Unable to create file (";
inline constexpr std::u16string_view kStatusSeekFailed =
    u"Could not read from MXA file. Perhaps another file is writing to it?";
inline constexpr std::u16string_view kStatusCorrupt = u"File corrupt";
inline constexpr std::u16string_view kStatusReadFailed =
    u"Could not read from MXA file.  Perhaps another file is writing to it.";
inline constexpr std::u16string_view kStatusWriteFailed =
    u"Error writing to file.  File may be in use by another program.";

inline constexpr std::u16string_view kUninstallerName = u"kestrelui.exe";
inline constexpr std::u16string_view kUninstallSwitch = u"-ui";

}  // namespace kestrel
