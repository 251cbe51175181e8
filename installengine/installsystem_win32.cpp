#include "installengine/installsystem_win32.h"

#include <windows.h>

#include "installengine/registration_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"

namespace kestrel {
namespace {

// How long a running product may take to handle its close request before the install goes on.
constexpr UINT kCloseRequestTimeoutMs = 5000;

}  // namespace

std::u16string SystemErrorText(unsigned long code) {
  if (code == 0) return {};
  wchar_t buf[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buf, 512, nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) --n;
  std::u16string text(reinterpret_cast<const char16_t*>(buf), n);
  return text.empty() ? u"error " + Utf8ToUtf16(std::to_string(code)) : text;
}

bool WindowsInstallSystem::UseWideApi() {
  return kestrel::UseWideApi();
}

bool WindowsInstallSystem::CloseRunningWindow(const std::string& pattern) {
  HWND window = FindProductWindow(pattern);
  if (!window) return false;
  DWORD_PTR result = 0;
  // a window that never answers must not hold the installation up
  SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                      kCloseRequestTimeoutMs, &result);
  return true;
}

std::string WindowsInstallSystem::ReadMachineString(const std::string& key,
                                                    const std::string& value) {
  return kestrel::ReadMachineString(key, value, "");
}

std::u16string WindowsInstallSystem::ServiceProgram(const std::string& name) {
  return kestrel::ServiceProgram(name);
}
bool WindowsInstallSystem::ServiceRunning(const std::string& name) {
  return kestrel::ServiceRunning(name);
}
bool WindowsInstallSystem::ServiceStop(const std::string& name) {
  return kestrel::ServiceStop(name);
}
bool WindowsInstallSystem::ServiceDelete(const std::string& name) {
  return kestrel::ServiceDelete(name);
}
bool WindowsInstallSystem::ServiceCreate(const std::string& name,
                                         const std::u16string& programpath) {
  return kestrel::ServiceCreate(name, programpath);
}
bool WindowsInstallSystem::ServiceStart(const std::string& name) {
  return kestrel::ServiceStart(name);
}

void WindowsInstallSystem::WriteRegistryRows(const std::vector<RegistryRow>& rows) {
  kestrel::WriteRegistryRows(rows);
}

void WindowsInstallSystem::CreateShortcuts(const ShortcutPlan& plan) {
  kestrel::CreateShortcuts(plan);
}

std::u16string WindowsInstallSystem::WindowsFolder() {
  return kestrel::WindowsFolder();
}
std::u16string WindowsInstallSystem::DesktopFolder() {
  return kestrel::DesktopFolder();
}
std::u16string WindowsInstallSystem::ProgramsFolder() {
  return kestrel::ProgramsFolder();
}
std::u16string WindowsInstallSystem::StartMenuFolder() {
  return kestrel::StartMenuFolder();
}

std::string WindowsInstallSystem::InstallDate() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  char buf[16];
  wsprintfA(buf, "%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
  return buf;
}

std::u16string WindowsInstallSystem::LastErrorText() {
  return SystemErrorText(GetLastError());
}

}  // namespace kestrel
