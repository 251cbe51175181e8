#include "toolkit/controls_win32.h"

#include <commctrl.h>

#include <utility>

#include "toolkit/commoncontrols_win32.h"

namespace kestrel::ui {
namespace {

constexpr wchar_t kFormClass[] = L"KestrelForm";
constexpr wchar_t kPanelClass[] = L"KestrelPanel";
constexpr wchar_t kSheetClass[] = L"KestrelSheet";
constexpr wchar_t kPagesClass[] = L"KestrelPages";
constexpr wchar_t kImageClass[] = L"KestrelImage";

HINSTANCE g_instance = nullptr;
// Texts read right to left: labels, buttons and check boxes say so (paths in edit boxes do not).
bool g_rtl = false;

const wchar_t* W(std::u16string_view s, std::u16string& store) {
  store.assign(s);
  return WideZ(store);
}

bool IsStaticText(HWND h) {
  wchar_t cls[16] = {};
  GetClassNameW(h, cls, 16);
  return lstrcmpiW(cls, L"Static") == 0;
}

// Containers pass their children's notifications on, so the form sees every control's events.
LRESULT ForwardToParent(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  HWND parent = GetParent(h);
  return parent ? SendMessageW(parent, msg, wp, lp) : 0;
}

LRESULT CALLBACK PanelProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
      return ForwardToParent(h, msg, wp, lp);
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT CALLBACK SheetProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
      return ForwardToParent(h, msg, wp, lp);
    case WM_CTLCOLORSTATIC: {
      auto dc = reinterpret_cast<HDC>(wp);
      auto child = reinterpret_cast<HWND>(lp);
      if (IsStaticText(child)) {
        // texts are drawn over the sheet's own background (they may overlap one another)
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
      }
      // check boxes and read-only edit boxes paint their own background
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT CALLBACK PagesProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
      return ForwardToParent(h, msg, wp, lp);
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(h, &ps);
      RECT r;
      GetClientRect(h, &r);
      FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
      FrameRect(dc, &r, GetSysColorBrush(COLOR_BTNSHADOW));
      EndPaint(h, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

ATOM Register(const wchar_t* name, WNDPROC proc, int background, HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = background >= 0 ? GetSysColorBrush(background) : nullptr;
  wc.lpszClassName = name;
  return RegisterClassExW(&wc);
}

}  // namespace

int ScreenDpi() {
  HDC dc = GetDC(nullptr);
  int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

Font::Font(std::u16string_view face, int height, bool bold) {
  const std::u16string f(face);
  font_ = CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, WideZ(f));
}

Font::~Font() {
  if (font_) DeleteObject(font_);
}

Picture::~Picture() {
  if (bitmap_) DeleteObject(bitmap_);
}

void SetRightToLeft(bool rtl) {
  g_rtl = rtl;
  SetProcessDefaultLayout(rtl ? LAYOUT_RTL : 0);
}

HWND Window::Create(HWND parent, const wchar_t* window_class, DWORD style, DWORD ex_style, int id,
                    std::u16string_view text, void* param) {
  std::u16string t;
  HMENU menu = (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr;
  hwnd_ = CreateWindowExW(ex_style, window_class, W(text, t), style, 0, 0, 0, 0, parent, menu,
                          g_instance, param);
  return hwnd_;
}

void Window::SetBounds(const Box& b) {
  if (hwnd_) MoveWindow(hwnd_, b.left, b.top, b.width, b.height, TRUE);
}

void Window::SetText(std::u16string_view text) {
  std::u16string t;
  if (hwnd_) SetWindowTextW(hwnd_, W(text, t));
}

std::u16string Window::Text() const {
  if (!hwnd_) return {};
  int n = GetWindowTextLengthW(hwnd_);
  std::u16string buf(static_cast<std::size_t>(n) + 1, u'\0');
  n = GetWindowTextW(hwnd_, reinterpret_cast<wchar_t*>(buf.data()), n + 1);
  buf.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return buf;
}

void Window::SetVisible(bool visible) {
  if (hwnd_) ShowWindow(hwnd_, visible ? SW_SHOW : SW_HIDE);
}

bool Window::Visible() const {
  return hwnd_ && (GetWindowLongW(hwnd_, GWL_STYLE) & WS_VISIBLE);
}

void Window::SetEnabled(bool enabled) {
  if (hwnd_) EnableWindow(hwnd_, enabled);
}

bool Window::Enabled() const {
  return hwnd_ && IsWindowEnabled(hwnd_);
}

void Window::SetFont(const Font& font) {
  if (hwnd_) SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font.handle()), TRUE);
}

void Label::Create(HWND parent, int id, std::u16string_view text, int style) {
  DWORD s = WS_CHILD | WS_VISIBLE | SS_NOPREFIX;
  if (style & kCentre) {
    s |= SS_CENTER;
  } else if (!(style & kWrap)) {
    s |= SS_LEFTNOWORDWRAP;
  }
  Window::Create(parent, L"Static", s, g_rtl ? WS_EX_RTLREADING : 0, id, text);
}

void Label::SetText(std::u16string_view text) {
  Window::SetText(text);
  // the label has no background of its own: repaint what lies beneath the old text
  HWND parent = hwnd_ ? GetParent(hwnd_) : nullptr;
  if (!parent) return;
  RECT r;
  GetWindowRect(hwnd_, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  RedrawWindow(parent, &r, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void Button::Create(HWND parent, int id, std::u16string_view text) {
  Window::Create(parent, L"Button", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                 g_rtl ? WS_EX_RTLREADING : 0, id, text);
}

void CheckBox::Create(HWND parent, int id, std::u16string_view text, bool checked) {
  Window::Create(parent, L"Button", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                 g_rtl ? WS_EX_RTLREADING : 0, id, text);
  SetChecked(checked);
}

void CheckBox::CreateRadio(HWND parent, int id, std::u16string_view text, bool first) {
  Window::Create(parent, L"Button",
                 WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTORADIOBUTTON | (first ? WS_GROUP : 0),
                 0, id, text);
}

bool CheckBox::Checked() const {
  return hwnd_ && SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void CheckBox::SetChecked(bool checked) {
  if (hwnd_) SendMessageW(hwnd_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

namespace {
// A multi-line box keeps Tab as text instead of moving the focus.
LRESULT CALLBACK WantTabsProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == WM_GETDLGCODE) return DefSubclass(h, msg, wp, lp) | DLGC_WANTTAB;
  return DefSubclass(h, msg, wp, lp);
}
}  // namespace

namespace {
// An edit box inherits its parent's mirroring; one that holds a path or a password does not.
void KeepLeftToRight(HWND h) {
  const LONG ex = GetWindowLongW(h, GWL_EXSTYLE);
  if (ex & WS_EX_LAYOUTRTL)
    SetWindowLongW(h, GWL_EXSTYLE, ex & ~(WS_EX_LAYOUTRTL | WS_EX_RTLREADING));
}
}  // namespace

void Edit::Create(HWND parent, int id, bool multiline, bool read_only) {
  DWORD s = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
  if (multiline) {
    s |= ES_MULTILINE | WS_VSCROLL | WS_HSCROLL | ES_AUTOVSCROLL | ES_AUTOHSCROLL;
  } else {
    s |= ES_AUTOHSCROLL;
  }
  if (read_only) s |= ES_READONLY;
  Window::Create(parent, L"Edit", s, WS_EX_CLIENTEDGE, id, u"");
  if (hwnd_ && multiline) SetSubclass(hwnd_, WantTabsProc, 1, 0);
  // a path reads left to right in a mirrored form too
  if (hwnd_ && !multiline) KeepLeftToRight(hwnd_);
}

void Edit::CreateMasked(HWND parent, int id) {
  Window::Create(parent, L"Edit", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD,
                 WS_EX_CLIENTEDGE, id, u"");
  if (hwnd_) KeepLeftToRight(hwnd_);
}

void Edit::CreateList(HWND parent, int id) {
  Window::Create(
      parent, L"Edit",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
      WS_EX_CLIENTEDGE, id, u"");
}

void Edit::FocusAndSelectAll() {
  if (!hwnd_) return;
  SetFocus(hwnd_);
  SendMessageW(hwnd_, EM_SETSEL, 0, -1);
}

void ProgressBar::Create(HWND parent, int id, int min, int max) {
  Window::Create(parent, PROGRESS_CLASSW, WS_CHILD | WS_VISIBLE, 0, id, u"");
  if (hwnd_)
    SendMessageW(hwnd_, PBM_SETRANGE32, static_cast<WPARAM>(min), static_cast<LPARAM>(max));
}

void ProgressBar::SetDoubleBuffered() {
  if (!hwnd_) return;
  const LONG ex = GetWindowLongW(hwnd_, GWL_EXSTYLE);
  SetWindowLongW(hwnd_, GWL_EXSTYLE, ex | WS_EX_COMPOSITED);
}

void ProgressBar::SetPosition(int position) {
  if (hwnd_) SendMessageW(hwnd_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int ProgressBar::Position() const {
  return hwnd_ ? static_cast<int>(SendMessageW(hwnd_, PBM_GETPOS, 0, 0)) : 0;
}

void Image::Create(HWND parent, int id) {
  Window::Create(parent, kImageClass, WS_CHILD | WS_VISIBLE, 0, id, u"", this);
}

void Image::SetPicture(std::shared_ptr<Picture> picture) {
  picture_ = std::move(picture);
  if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

LRESULT CALLBACK Image::Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto self = reinterpret_cast<Image*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    RECT r;
    GetClientRect(h, &r);
    if (self && self->picture_ && self->picture_->bitmap()) {
      const Picture& p = *self->picture_;
      HDC mem = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(mem, p.bitmap());
      SetStretchBltMode(dc, HALFTONE);
      SetBrushOrgEx(dc, 0, 0, nullptr);
      // a mirrored window must not mirror the picture
      StretchBlt(dc, 0, 0, r.right, r.bottom, mem, 0, 0, p.width(), p.height(),
                 SRCCOPY | NOMIRRORBITMAP);
      SelectObject(mem, old);
      DeleteDC(mem);
    } else {
      FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
    }
    EndPaint(h, &ps);
    return 0;
  }
  if (msg == WM_ERASEBKGND) return 1;
  if (msg == WM_NCDESTROY) SetWindowLongPtrW(h, GWLP_USERDATA, 0);
  return DefWindowProcW(h, msg, wp, lp);
}

void Panel::Create(HWND parent, int id) {
  Window::Create(parent, kPanelClass, WS_CHILD | WS_VISIBLE, WS_EX_CONTROLPARENT, id, u"");
}

void Sheet::Create(HWND parent, int id) {
  // no WS_CLIPCHILDREN: the sheet's background must be painted beneath its transparent texts
  Window::Create(parent, kSheetClass, WS_CHILD, WS_EX_CONTROLPARENT, id, u"");
}

void PageControl::Create(HWND parent, int id) {
  Window::Create(parent, kPagesClass, WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT,
                 id, u"");
}

Form::~Form() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void Form::CreateForm(HWND owner, std::u16string_view caption, int client_width, int client_height,
                      bool taskbar_button) {
  const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
  // mirrored by its own style: an owned form does not take the process's default layout
  // everywhere, and its children inherit the form's
  const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT |
                         (taskbar_button ? WS_EX_APPWINDOW : 0) | (g_rtl ? WS_EX_LAYOUTRTL : 0);
  Window::Create(owner, kFormClass, style, ex_style, 0, caption, this);
  if (!hwnd_) return;
  RECT r{0, 0, client_width, client_height};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  const int w = r.right - r.left, h = r.bottom - r.top;
  RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + (work.right - work.left - w) / 2;
  const int y = work.top + (work.bottom - work.top - h) / 2;
  SetWindowPos(hwnd_, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::Show() {
  if (!hwnd_) return;
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void Form::Close() {
  if (hwnd_) SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

LRESULT Form::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp));
      return 0;
    case WM_CLOSE:
      OnClose();
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      if (main_) PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK Form::Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto self = reinterpret_cast<Form*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  if (!self || !self->hwnd_) return DefWindowProcW(h, msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(h, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    return DefWindowProcW(h, msg, wp, lp);
  }
  return self->HandleMessage(msg, wp, lp);
}

void RegisterClasses(HINSTANCE instance) {
  g_instance = instance;
  Register(kFormClass, Form::Proc, COLOR_BTNFACE, instance);
  Register(kPanelClass, PanelProc, COLOR_BTNFACE, instance);
  Register(kSheetClass, SheetProc, COLOR_WINDOW, instance);
  Register(kPagesClass, PagesProc, -1, instance);
  Register(kImageClass, Image::Proc, -1, instance);
}

}  // namespace kestrel::ui
