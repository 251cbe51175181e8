// Loading the Configuration record and the licence text from the program's own file at
// start-up, in install mode.
#pragma once

#include <cstdint>
#include <string>

#include "package/pkgfile.h"
#include "package/records.h"

namespace kestrel {

enum class StartupLoad {
  kOk,
  kUnreadable,  // the record could not be read whole (or the package is damaged)
  kNoPackage,   // the record carries no setup marker
  kDamaged,     // the package fails its checksum, or a signed file was cut short
};

// A licence larger than this is taken as unreadable rather than held in memory.
inline constexpr std::int64_t kMaxLicenseBytes = std::int64_t{64} << 20;

// Reads the record from the 12408 bytes in front of the package's end (the end of the file, or
// the start of a signature's certificate table), checks its marker and, when it has a licence,
// reads the text (cut at its first zero byte). A licence that cannot be read whole clears
// `haslicense`. Last, the package's checksum is verified when it carries one, so a damaged
// download is refused before anything is shown or touched. `file` is open for reading and
// stays open.
StartupLoad LoadStartupPackage(PackageFile& file, ConfigRecord& config, std::string& licensetext);

}  // namespace kestrel
