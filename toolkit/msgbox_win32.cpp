#include "toolkit/msgbox_win32.h"

#include <cstdint>
#include <string>
#include <vector>

#include "sysutil/texts.h"
#include "toolkit/controls_win32.h"

namespace kestrel::ui {
namespace {

// Right-to-left languages read their boxes from the right.
UINT BoxLayout() {
  return Texts::Current().rtl() ? MB_RTLREADING | MB_RIGHT : 0;
}

std::u16string W(std::u16string_view s) {
  return std::u16string(s);
}

// An in-memory dialog template: the stock message box cannot make Yes the default and let
// Escape answer No at the same time.
class DialogTemplate {
 public:
  void Header(DWORD style, WORD items, std::u16string_view title, WORD points,
              std::u16string_view face) {
    Dword(style);
    Dword(0);  // extended style
    Word(items);
    for (int i = 0; i < 4; ++i) Word(0);  // x, y, cx, cy: placed at run time
    Word(0);                              // no menu
    Word(0);                              // the standard dialog class
    Text(title);
    Word(points);
    Text(face);
  }
  void Item(DWORD style, WORD id, WORD atom, std::u16string_view text) {
    while (words_.size() % 2) words_.push_back(0);  // items start on a DWORD boundary
    Dword(style);
    Dword(0);
    for (int i = 0; i < 4; ++i) Word(0);
    Word(id);
    Word(0xFFFF);
    Word(atom);
    Text(text);
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Word(WORD w) { words_.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(std::u16string_view s) {
    for (char16_t c : s) Word(c);
    Word(0);
  }
  std::vector<WORD> words_;  // WORD-aligned by construction; vector storage is DWORD-aligned
};

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;

struct WarningState {
  std::u16string text;
};

void PlaceWarning(HWND dlg, const WarningState& st) {
  HWND icon = GetDlgItem(dlg, kBoxIconId);
  HWND text = GetDlgItem(dlg, kBoxTextId);
  HWND yes = GetDlgItem(dlg, IDYES);
  HWND no = GetDlgItem(dlg, IDNO);
  SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_WARNING)), 0);
  SetWindowTextW(text, WideZ(st.text));

  // measure the text in the dialog's font, wrapped at about half the screen's width
  HDC dc = GetDC(dlg);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0)));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  RECT tr{0, 0, GetSystemMetrics(SM_CXSCREEN) / 2, 0};
  DrawTextW(dc, WideZ(st.text), -1, &tr, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(dlg, dc);

  const int unit = tm.tmAveCharWidth > 0 ? tm.tmAveCharWidth : 6;
  // the static control may round a glyph wider than the measurement did; without slack it
  // wraps the last character onto a line that is not shown
  tr.right += unit;
  const int margin = unit * 2;
  const int icon_size = GetSystemMetrics(SM_CXICON);
  const int button_w = MulDiv(unit, 50, 4), button_h = tm.tmHeight + unit * 2;
  const int gap = unit;
  int text_h = tr.bottom > icon_size ? tr.bottom : icon_size;
  int content_w = icon_size + margin + tr.right;
  const int buttons_w = 2 * button_w + gap;
  if (content_w < buttons_w) content_w = buttons_w;
  const int client_w = content_w + 2 * margin;
  const int client_h = margin + text_h + margin + button_h + margin;

  MoveWindow(icon, margin, margin, icon_size, icon_size, FALSE);
  const int text_top = margin + (text_h - tr.bottom) / 2;
  MoveWindow(text, margin + icon_size + margin, text_top, tr.right, tr.bottom, FALSE);
  const int by = margin + text_h + margin;
  const int bx = (client_w - buttons_w) / 2;
  MoveWindow(yes, bx, by, button_w, button_h, FALSE);
  MoveWindow(no, bx + button_w + gap, by, button_w, button_h, FALSE);

  const DWORD style = static_cast<DWORD>(GetWindowLongW(dlg, GWL_STYLE));
  const DWORD ex_style = static_cast<DWORD>(GetWindowLongW(dlg, GWL_EXSTYLE));
  RECT wr{0, 0, client_w, client_h};
  AdjustWindowRectEx(&wr, style, FALSE, ex_style);
  const int w = wr.right - wr.left, h = wr.bottom - wr.top;
  // centred over its owner, or on the screen when the owner is hidden
  RECT area;
  HWND owner = GetWindow(dlg, GW_OWNER);
  if (!owner || !IsWindowVisible(owner) || !GetWindowRect(owner, &area)) {
    area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  }
  SetWindowPos(dlg, nullptr, area.left + (area.right - area.left - w) / 2,
               area.top + (area.bottom - area.top - h) / 2, w, h, SWP_NOZORDER);
}

INT_PTR CALLBACK WarningProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      PlaceWarning(dlg, *reinterpret_cast<WarningState*>(lp));
      MessageBeep(MB_ICONWARNING);
      SendMessageW(dlg, DM_SETDEFID, IDYES, 0);
      SetFocus(GetDlgItem(dlg, IDYES));
      return FALSE;  // the focus is set
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDYES:
          EndDialog(dlg, IDYES);
          return TRUE;
        case IDNO:
        case IDCANCEL:  // Escape and the close box answer No
          EndDialog(dlg, IDNO);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

void ErrorBox(HWND owner, std::u16string_view text) {
  const std::u16string t(text);
  MessageBoxW(owner, WideZ(t), WideZ(Tr(TextId::box_error)), MB_OK | MB_ICONERROR | BoxLayout());
}

bool ConfirmBox(HWND owner, std::u16string_view text) {
  const std::u16string t(text);
  return MessageBoxW(owner, WideZ(t), WideZ(Tr(TextId::box_confirm)),
                     MB_YESNO | MB_ICONQUESTION | BoxLayout()) == IDYES;
}

bool WarningBox(HWND owner, std::u16string_view text) {
  DialogTemplate dt;
  dt.Header(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 4,
            Tr(TextId::box_warning), 8, u"MS Shell Dlg 2");
  dt.Item(WS_CHILD | WS_VISIBLE | SS_ICON, kBoxIconId, kStaticAtom, u"");
  dt.Item(WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, kBoxTextId, kStaticAtom, u"");
  dt.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, IDYES, kButtonAtom,
          Tr(TextId::box_yes));
  dt.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, IDNO, kButtonAtom,
          Tr(TextId::box_no));
  WarningState st{W(text)};
  INT_PTR r = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dt.get(), owner, WarningProc,
                                      reinterpret_cast<LPARAM>(&st));
  return r == IDYES;
}

}  // namespace kestrel::ui
