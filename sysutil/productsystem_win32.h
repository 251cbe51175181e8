// The Win32 side of ProductSystem, shared by the install's and the uninstall's systems: each
// derives from WindowsProductSystem<ItsInterface>, so both runs close the product, read its
// values and handle its services through the same calls.
#pragma once

#include <windows.h>

#include <string>

#include "sysutil/cmfunit_win32.h"
#include "sysutil/productsystem.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"

namespace kestrel {

// The system's message for a Win32 error code, without its line end; empty for 0.
std::u16string SystemErrorText(unsigned long code);

// Finds the product's window, asks it to close and waits for its program to end; a window that
// never answers holds the run up for at most kCloseRequestTimeoutMs, a program that does not end
// for kProgramEndTimeoutMs more. True when there was one.
bool AskProductWindowToClose(const std::string& pattern);
inline constexpr UINT kCloseRequestTimeoutMs = 5000;
inline constexpr DWORD kProgramEndTimeoutMs = 5000;

// Has the system delete the file, or the folder if empty then, at its next start (a path of
// any length).
bool DeleteAtNextStart(const std::u16string& path);

// The system's handle of a registry root.
HKEY RootHandle(RegRoot root);
// The view a key under `root` is read and written in: MachineKeyView for HKLM, else 0.
REGSAM KeyView(RegRoot root, std::string_view key);

template <class Interface>
class WindowsProductSystem : public Interface {
 public:
  bool UseWideApi() override { return kestrel::UseWideApi(); }
  bool CloseRunningWindow(const std::string& pattern) override {
    return AskProductWindowToClose(pattern);
  }
  std::string ReadMachineString(const std::string& key, const std::string& value) override {
    return kestrel::ReadMachineString(key, value, "");
  }
  std::u16string ServiceProgram(const std::string& name) override {
    return kestrel::ServiceProgram(name);
  }
  bool ServiceRunning(const std::string& name) override { return kestrel::ServiceRunning(name); }
  bool ServiceStop(const std::string& name) override { return kestrel::ServiceStop(name); }
  bool ServiceDelete(const std::string& name) override { return kestrel::ServiceDelete(name); }
  bool DeleteAtRestart(const std::u16string& path) override { return DeleteAtNextStart(path); }
  std::u16string ReadWideString(RegRoot root, const std::string& key,
                                const std::string& value) override {
    return ReadWideValue(RootHandle(root), key, value, KeyView(root, key));
  }
  std::u16string LastErrorText() override { return SystemErrorText(GetLastError()); }
  bool LastErrorIsDiskFull() override {
    const DWORD e = GetLastError();
    return e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL;
  }
  std::u16string ErrorText(unsigned long code) override { return SystemErrorText(code); }
};

}  // namespace kestrel
