#include "sysutil/productsystem_win32.h"

#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
#include "sysutil/treeremoval_win32.h"

namespace kestrel {

std::u16string SystemErrorText(unsigned long code) {
  if (code == 0) return {};
  wchar_t buf[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buf, 512, nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) --n;
  std::u16string text(reinterpret_cast<const char16_t*>(buf), n);
  return text.empty() ? u"error " + Utf8ToUtf16(std::to_string(code)) : text;
}

bool DeleteAtNextStart(const std::u16string& path) {
  return MoveFileExW(Wide(LongPathForm(path)), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

HKEY RootHandle(RegRoot root) {
  switch (root) {
    case RegRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RegRoot::kClassesRoot:
      return HKEY_CLASSES_ROOT;
  }
  return HKEY_LOCAL_MACHINE;
}

REGSAM KeyView(RegRoot root, std::string_view key) {
  return root == RegRoot::kLocalMachine ? MachineKeyView(key) : 0;
}

bool AskProductWindowToClose(const std::string& pattern) {
  HWND window = FindProductWindow(pattern);
  if (!window) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  // opened before it is asked, so its end is seen however soon it comes
  const win::Event program(
      pid && pid != GetCurrentProcessId() ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
  DWORD_PTR result = 0;
  // a window that never answers must not hold the run up
  SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                      kCloseRequestTimeoutMs, &result);
  // the program's end rather than a fixed pause; one that stays gets its files replaced at restart
  if (program) WaitForSingleObject(program.get(), kProgramEndTimeoutMs);
  return true;
}

}  // namespace kestrel
