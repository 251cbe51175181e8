// What an installation writes to the registry, computed as data: the Win32 shell only executes
// these rows (8-bit string values, keys created as needed, failures skipped).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "package/records.h"

namespace kestrel {

enum class RegRoot { kLocalMachine, kCurrentUser, kClassesRoot };

enum class RegType { kString, kDword };

struct RegistryRow {
  RegRoot root;
  std::string key;    // 8-bit key path below the root
  std::string name;   // empty: the key's default value
  std::string value;  // 8-bit text in the system's code page
  RegType type = RegType::kString;
  std::uint32_t dword = 0;  // the value of a kDword row
};

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
  std::uint64_t installedbytes = 0;  // the package's files, for the size the system shows
  std::string installdate;           // "YYYYMMDD", the day of the installation
};

// A configured service: entries up to the first empty `servicefiles` text.
struct ServiceEntry {
  int index;
  std::string file;  // relative to the installation folder
  std::string name;
  std::u16string programpath;  // AddTrailingBackslash(destfolder) + file, unquoted
};

std::string AppPathsKey(const std::string& exename);
std::string UninstallKey(const std::string& displayname);
inline constexpr const char* kClassKey = "Brimlow.MXA";

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

// The uninstall command as the Uninstall key's "UninstallString" holds it, and its silent form
// with the uninstaller's path quoted (the program name too when it holds a blank).
std::string UninstallCommand(const RegistrationInput& in);
std::string QuietUninstallCommand(const RegistrationInput& in);

std::vector<ServiceEntry> ConfiguredServices(const ConfigRecord& config,
                                             const std::u16string& destfolder);

}  // namespace kestrel
