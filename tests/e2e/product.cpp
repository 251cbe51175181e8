// The product the end-to-end packages install: a window titled "E2E Product (running)", as a
// running copy of the product looks to the installer. It notes in files beside itself that it
// was started (with its command line and current folder) and that it was asked to close.
// It runs until it is closed.
#include <windows.h>

#include <string>

namespace {

std::wstring g_folder;

void Note(const wchar_t* name, const std::wstring& text) {
  const std::wstring path = g_folder + name;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), s.data(), n, nullptr, nullptr);
  DWORD put = 0;
  WriteFile(f, s.data(), DWORD(s.size()), &put, nullptr);
  CloseHandle(f);
}

LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) {
    Note(L"closed.txt", L"closed");
    DestroyWindow(h);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  g_folder = path;
  g_folder.resize(g_folder.rfind(L'\\') + 1);
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  Note(L"launched.txt", std::wstring(L"cmdline=") + GetCommandLineW() + L"\ncwd=" + cwd +
                            L"\nshow=" + std::to_wstring(show) + L"\n");

  WNDCLASSW wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.lpszClassName = L"KestrelE2EProduct";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, wc.lpszClassName, L"E2E Product (running)", WS_OVERLAPPEDWINDOW, 10,
                           10, 300, 120, nullptr, nullptr, instance, nullptr);
  ShowWindow(w, SW_SHOW);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
