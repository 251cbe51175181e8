// What an installation writes to the registry, computed as data: the Win32 shell only executes
// these rows (string values, keys created as needed; a failed row is logged and skipped). Every
// key of the product's own lies under the root the input names (HKLM for an installation for
// every user), so a per-user installation changes the root, not the rows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "package/records.h"
#include "sysutil/productsystem.h"

namespace kestrel {

// kString: 8-bit text in the system's code page, for the values older readers take as such;
// kWideString: UTF-16, for paths and names that must read back exactly.
enum class RegType { kString, kDword, kWideString };

struct RegistryRow {
  RegRoot root;
  std::string key;    // 8-bit key path below the root
  std::string name;   // empty: the key's default value
  std::string value;  // 8-bit text in the system's code page
  RegType type = RegType::kString;
  std::uint32_t dword = 0;  // the value of a kDword row
  std::u16string wide{};    // the value of a kWideString row
};

// A UTF-16 string row.
RegistryRow WideRow(RegRoot root, std::string key, std::string name, std::u16string value);

// The folders the rows depend on, as the shell reports them, and what the uninstall entry
// tells about the installation.
struct RegistrationInput {
  RegistrationInput(const ConfigRecord& config, std::u16string destfolder,
                    std::u16string desktopfolder, std::u16string windowsfolder)
      : config(config),
        destfolder(std::move(destfolder)),
        desktopfolder(std::move(desktopfolder)),
        windowsfolder(std::move(windowsfolder)) {}

  const ConfigRecord& config;
  std::u16string destfolder;         // the installation folder exactly as entered
  std::u16string desktopfolder;      // DesktopFolder()
  std::u16string windowsfolder;      // WindowsFolder()
  std::uint64_t installedbytes = 0;  // the bytes the file step wrote, for the size shown
  std::string installdate;           // "YYYYMMDD", the day of the installation
  // The root of the product's App Paths and Uninstall keys: HKLM, or HKCU for one user.
  RegRoot root = RegRoot::kLocalMachine;
  std::string identity;        // ProductIdentity(config): names the Uninstall key
  std::u16string displayname;  // the product's name in any script; empty: the 8-bit field
  std::u16string uninstaller;  // the product's own uninstaller, a full path
  std::u16string recordpath;   // its install record, a full path
};

// A configured service: entries up to the first empty `servicefiles` text.
struct ServiceEntry {
  int index;
  std::string file;  // relative to the installation folder
  std::string name;
  std::u16string programpath;  // AddTrailingBackslash(destfolder) + file, unquoted
};

std::string AppPathsKey(const std::string& exename);
// The product's Uninstall key, named by its identity (by its display name for packages made
// before identities: the same name).
std::string UninstallKey(const std::string& identity);
// The class every package made before classes of their own wrote its keys under.
inline constexpr const char* kClassKey = "Brimlow.MXA";
// App Paths and Uninstall values that name the product and its record.
inline constexpr const char* kProductValue = "Product";
inline constexpr const char* kRecordValue = "InstallRecord";

// Where file classes and extensions live for a product under `root`: HKCR itself for HKLM (as
// every earlier version wrote them), "Software\Classes\" below HKCU for one user.
struct ClassesPlace {
  RegRoot root;
  std::string prefix;
};
ClassesPlace ClassesFor(RegRoot productroot);

// The class the association's keys are written under: the package's `assocclass`, or the fixed
// class when it names none.
std::string AssociationClass(const ConfigRecord& config);

// Rows 1-6: the App Paths record.
std::vector<RegistryRow> AppPathsRows(const RegistrationInput& in);
// Rows 7-13: the file association, empty when none is configured or its program is not found.
std::vector<RegistryRow> AssociationRows(const RegistrationInput& in);
// Rows 14-15 for one service entry.
std::vector<RegistryRow> ServiceRows(const RegistrationInput& in, const ServiceEntry& service);
// Rows 16-17: the Uninstall key, then what the installed-programs list and deployment tools
// read: the quiet uninstall command, version, publisher, icon, location, size, date, the
// missing modify and repair, and the web page when the package names one.
std::vector<RegistryRow> UninstallRows(const RegistrationInput& in);

// The uninstall command as the Uninstall key's "UninstallString" holds it: the product's own
// uninstaller, "-ui", the main program's name and "/PRODUCT=" with the identity, each quoted as
// the system's rules for command lines need; and its silent form, with "/S" behind.
std::u16string UninstallCommand(const RegistrationInput& in);
// The arguments of that command, without the program.
std::u16string UninstallArguments(const RegistrationInput& in);
std::u16string QuietUninstallCommand(const RegistrationInput& in);

// One argument as a command line carries it: as it is when it holds no blank, tab or quote and
// is not empty; else in quotes, with backslashes before a quote doubled and quotes escaped.
std::u16string QuoteArgument(std::u16string_view arg);

std::vector<ServiceEntry> ConfiguredServices(const ConfigRecord& config,
                                             const std::u16string& destfolder);

}  // namespace kestrel
