// The install run's system on Windows: the window finder, the registry, services, shortcuts and
// the shell folders. Used by the wizard's worker and by the unattended run alike.
#pragma once

#include <string>
#include <vector>

#include "installengine/installrun.h"

namespace kestrel {

class WindowsInstallSystem final : public InstallSystem {
 public:
  bool UseWideApi() override;
  bool CloseRunningWindow(const std::string& pattern) override;
  std::string ReadMachineString(const std::string& key, const std::string& value) override;
  std::u16string ServiceProgram(const std::string& name) override;
  bool ServiceRunning(const std::string& name) override;
  bool ServiceStop(const std::string& name) override;
  bool ServiceDelete(const std::string& name) override;
  bool ServiceCreate(const std::string& name, const std::u16string& programpath) override;
  bool ServiceStart(const std::string& name) override;
  void WriteRegistryRows(const std::vector<RegistryRow>& rows) override;
  void CreateShortcuts(const ShortcutPlan& plan) override;
  std::u16string WindowsFolder() override;
  std::u16string DesktopFolder() override;
  std::u16string ProgramsFolder() override;
  std::u16string StartMenuFolder() override;
  std::string InstallDate() override;
  std::u16string LastErrorText() override;
};

// The system's message for a Win32 error code, without its line end; empty for 0.
std::u16string SystemErrorText(unsigned long code);

}  // namespace kestrel
