// Loading the Configuration record and the licence text from the program's own file at
// start-up, in install mode.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "package/locale.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "sysutil/productsystem.h"

namespace kestrel {

// What the start-up loading found, kept for the whole run: in install mode the record and the
// licence from the program's own file; in uninstall mode the few record fields the registry
// gives back.
struct SetupData {
  bool uninstallmode = false;
  ConfigRecord config{};
  std::string licensetext;
  std::u16string basefolder;  // install: Program Files; uninstall: the decoded "Path"
  // the product's names as shown and stored: the package's UTF-16 names over the 8-bit fields
  ProductNames names;
  // install: the languages, names, brand and picture the package carries; uninstall: the
  // language, brand and picture its installation showed
  LocaleData locale;
  // install: the run's language, brand and picture as the install record keeps them; empty:
  // English, "Kestrel" and its picture
  std::string language;
  // uninstall: the product's identity (empty for an installation made before identities) and
  // the record its Uninstall key names
  std::string identity;
  std::u16string recordpath;
  // the root of the product's keys: HKLM for every user, HKCU for an installation for one user
  RegRoot root = RegRoot::kLocalMachine;
  // install: the program's own file as it was opened and checked at start-up, open until the
  // program ends; the installation reads its files and the uninstaller copy from it
  PackageFile* setupfile = nullptr;
  // install: the package is keyed by a password; `header` holds its password data
  bool needpassword = false;
  PackageHeader header{};
  // an unattended run: the key that the password given on the command line unlocked
  bool haskey = false;
  std::array<std::uint8_t, 56> key{};
};

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
