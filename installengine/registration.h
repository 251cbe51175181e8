// What an installation writes to the registry, computed as data: the Win32 shell only executes
// these rows (8-bit string values, keys created as needed, failures skipped).
#pragma once

#include <cstdint>
#include <string>
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

// The folders the rows depend on, as the shell reports them.
struct RegistrationInput {
  const ConfigRecord& config;
  std::u16string destfolder;     // the installation folder exactly as entered
  std::u16string desktopfolder;  // DesktopFolder()
  std::u16string windowsfolder;  // WindowsFolder()
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
// Rows 16-17: the Uninstall key.
std::vector<RegistryRow> UninstallRows(const RegistrationInput& in);

std::vector<ServiceEntry> ConfiguredServices(const ConfigRecord& config,
                                             const std::u16string& destfolder);

}  // namespace kestrel
