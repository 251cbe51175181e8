// What the install run needs of the system: the product's values and services (ProductSystem),
// the registry rows, the links and the shell folders, and what a transaction needs to undo a
// registry change. Portable; the Win32 implementation is WindowsInstallSystem.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "installengine/registration.h"
#include "installengine/shortcuts.h"
#include "sysutil/productsystem.h"

namespace kestrel {

// One registry value as it was before a change: raw, whatever its type.
struct SavedValue {
  std::u16string name;  // empty: the key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// A key as it was before a change: whether it was there, and its values (not its subkeys).
struct SavedKey {
  bool existed = false;
  std::vector<SavedValue> values;
};

// What the run needs of the system. Every call is made on the thread that runs the
// installation; the Win32 one is WindowsInstallSystem (installsystem_win32.h).
class InstallSystem : public ProductSystem {
 public:
  virtual bool ServiceCreate(const std::string& name, const std::u16string& programpath) = 0;
  virtual bool ServiceStart(const std::string& name) = 0;

  // Each row's outcome: 0, or the system's error code of the write that failed.
  virtual std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows) = 0;
  // The group folder first; each link's outcome in the plan's order (group rows, then the
  // desktop link): 0, or the error code of the step that failed.
  virtual std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan) = 0;
  // Deletes one key that has no subkeys; a missing key is no error.
  virtual bool RemoveKey(RegRoot root, const std::string& key) = 0;

  // What a key holds now, so a change can be undone; false when it could not be read.
  virtual bool SaveKey(RegRoot root, const std::string& key, SavedKey& out) = 0;
  // Puts a key back as saved: its values exactly those saved, or, when it was not there, the key
  // deleted (only while it has no subkeys).
  virtual bool RestoreKey(RegRoot root, const std::string& key, const SavedKey& saved) = 0;
  virtual bool RemoveValue(RegRoot root, const std::string& key, const std::string& name) = 0;
  // Deletes a key only while it holds no value and no subkey.
  virtual bool RemoveEmptyKey(RegRoot root, const std::string& key) = 0;
  // Has the system put `from` in the place of `to` when it next starts (`to` is in use now).
  virtual bool ReplaceAtRestart(const std::u16string& from, const std::u16string& to) = 0;

  // Which applications hold any of `files` open, as the system names them; 0, or the error code
  // when the system could not tell. Also what CloseApps and RestartApps then act on.
  virtual unsigned long AppsUsing(const std::vector<std::u16string>& files,
                                  std::vector<std::u16string>& apps) {
    (void)files;
    (void)apps;
    return 0;
  }
  // Asks the applications AppsUsing found to close (never forcing one: unsaved work would be
  // lost); 0 or the error code.
  virtual unsigned long CloseApps() { return 0; }
  // Starts again the applications CloseApps closed; 0 or the error code.
  virtual unsigned long RestartApps() { return 0; }

  // The bytes free to this user on the volume that holds `folder`; false when not known.
  virtual bool FreeSpace(const std::u16string& folder, std::uint64_t& bytes) = 0;

  virtual std::u16string WindowsFolder() = 0;
  virtual std::u16string DesktopFolder() = 0;
  virtual std::u16string ProgramsFolder() = 0;
  virtual std::u16string StartMenuFolder() = 0;

  // Today as "YYYYMMDD", for the uninstall entry.
  virtual std::string InstallDate() = 0;
};

}  // namespace kestrel
