// Loading the Configuration record and the licence text from the program's own file at
// start-up, in install mode.
#pragma once

#include <cstdint>
#include <string>

#include "package/pkgfile.h"
#include "package/records.h"

namespace kestrel {

// What the start-up loading found, kept for the whole run: in install mode the record and the
// licence from the program's own file; in uninstall mode the few record fields the registry
// gives back.
struct SetupData {
  bool uninstallmode = false;
  ConfigRecord config{};
  std::string licensetext;
  std::u16string basefolder;  // install: Program Files; uninstall: the decoded "Path"
};

enum class StartupLoad {
  kOk,
  kUnreadable,  // the record could not be read whole (or the package is damaged)
  kNoPackage,   // the record carries no setup marker
};

// A licence larger than this is taken as unreadable rather than held in memory.
inline constexpr std::int64_t kMaxLicenseBytes = std::int64_t{64} << 20;

// Reads the record from the file's last 12408 bytes, checks its marker and, when it has a
// licence, reads the text (cut at its first zero byte). A licence that cannot be read whole
// clears `haslicense`. `file` is open for reading and stays open.
StartupLoad LoadStartupPackage(PackageFile& file, ConfigRecord& config, std::string& licensetext);

}  // namespace kestrel
