// Sample Tool: the program of the sample product. One window titled "Sample Tool (running)", the
// title setup looks for when it asks a running copy to close before installing over it.
#include <windows.h>

#include <string>

namespace {

std::wstring g_args;

LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(h, &ps);
      RECT r;
      GetClientRect(h, &r);
      InflateRect(&r, -12, -12);
      SetBkMode(dc, TRANSPARENT);
      const std::wstring text =
          L"Sample Tool 1.0\n\nInstalled by Kestrel's setup.exe.\nArguments: " +
          (g_args.empty() ? std::wstring(L"(none)") : g_args);
      DrawTextW(dc, text.c_str(), -1, &r, DT_LEFT | DT_WORDBREAK);
      EndPaint(h, &ps);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR args, int show) {
  g_args = args ? args : L"";
  WNDCLASSW wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
  wc.lpszClassName = L"KestrelSampleTool";
  if (!RegisterClassW(&wc)) return 1;
  HWND w =
      CreateWindowExW(0, wc.lpszClassName, L"Sample Tool (running)", WS_OVERLAPPEDWINDOW,
                      CW_USEDEFAULT, CW_USEDEFAULT, 360, 160, nullptr, nullptr, instance, nullptr);
  if (!w) return 1;
  ShowWindow(w, show);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return int(msg.wParam);
}
