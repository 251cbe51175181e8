// The install run's system on Windows: the window finder, the registry, services, shortcuts and
// the shell folders. Used by the wizard's worker and by the unattended run alike.
#pragma once

#include <string>
#include <vector>

#include "installengine/installrun.h"
#include "installengine/restartmanager_win32.h"
#include "sysutil/productsystem_win32.h"

namespace kestrel {

class WindowsInstallSystem final : public WindowsProductSystem<InstallSystem> {
 public:
  bool ServiceCreate(const std::string& name, const std::u16string& programpath) override;
  bool ServiceStart(const std::string& name) override;
  std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows) override;
  std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan) override;
  bool RemoveKey(RegRoot root, const std::string& key) override;
  bool SaveKey(RegRoot root, const std::string& key, SavedKey& out) override;
  bool RestoreKey(RegRoot root, const std::string& key, const SavedKey& saved) override;
  bool RemoveValue(RegRoot root, const std::string& key, const std::string& name) override;
  bool RemoveEmptyKey(RegRoot root, const std::string& key) override;
  bool ReplaceAtRestart(const std::u16string& from, const std::u16string& to) override;
  bool FreeSpace(const std::u16string& folder, std::uint64_t& bytes) override;
  std::u16string WindowsFolder() override;
  std::u16string DesktopFolder() override;
  std::u16string ProgramsFolder() override;
  std::u16string StartMenuFolder() override;
  std::string InstallDate() override;
  unsigned long AppsUsing(const std::vector<std::u16string>& files,
                          std::vector<std::u16string>& apps) override {
    return apps_.Find(files, apps);
  }
  unsigned long CloseApps() override { return apps_.Shutdown(); }
  unsigned long RestartApps() override { return apps_.Restart(); }

 private:
  RestartManager apps_;  // the session of the last AppsUsing
};

// Makes the group folder and, when that worked, its links; the desktop link in every case.
// Each link's outcome in the plan's order: 0, or the error code of what failed.
std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan);

}  // namespace kestrel
