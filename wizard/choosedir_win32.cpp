#include "wizard/choosedir_win32.h"

#include <algorithm>

#include "sysutil/codepage.h"
#include "sysutil/texts.h"
#include "toolkit/app_win32.h"
#include "toolkit/msgbox_win32.h"

namespace kestrel {
namespace {

Tdir* g_folderdialog = nullptr;

}  // namespace

Tdir* FolderDialog() {
  return g_folderdialog;
}

Tdir::~Tdir() {
  if (g_folderdialog == this) g_folderdialog = nullptr;
  // while the tree's owner is whole: its items' notifications come back here
  if (HWND h = handle()) DestroyWindow(h);
}

ui::Window& Tdir::Control(DirCtl c) {
  switch (c) {
    case DirCtl::Panel1:
      return Panel1;
    case DirCtl::directory:
      return directory;
    case DirCtl::ok:
      return ok;
    default:
      return cancel;
  }
}

void Tdir::Create(HWND owner) {
  auto& app = ui::Application::Get();
  const int dpi = app.Dpi();
  const Box client = DirClientBox(dpi);
  CreateForm(owner, Tr(TextId::folder_caption), client.width, client.height, false);
  const HWND form = handle();
  if (!form) return;
  // a close box (which answers Cancel) and a dialog's system menu: Move and Close
  SetWindowLongW(form, GWL_STYLE, GetWindowLongW(form, GWL_STYLE) | WS_SYSMENU);
  if (HMENU menu = GetSystemMenu(form, FALSE)) {
    for (UINT cmd : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
      DeleteMenu(menu, cmd, MF_BYCOMMAND);
    }
  }
  SetWindowPos(form, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  SetFont(app.NormalFont());

  geometry_ = DirDesignGeometry(dpi);
  Panel1.Create(form, DirCtlId(DirCtl::Panel1));
  directory.Create(Panel1.handle(), DirCtlId(DirCtl::directory));
  ok.Create(Panel1.handle(), DirCtlId(DirCtl::ok), Tr(TextId::folder_ok));
  cancel.Create(Panel1.handle(), DirCtlId(DirCtl::cancel), Tr(TextId::folder_cancel));
  if (ok.handle()) SendMessageW(ok.handle(), BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
  for (std::size_t i = 0; i < kDirCtlCount; ++i) {
    Control(DirCtl(i)).SetFont(app.NormalFont());
    Control(DirCtl(i)).SetBounds(geometry_[DirCtl(i)]);
  }
  FormCreate();
  g_folderdialog = this;
}

void Tdir::FormCreate() {
  invalidfoldermessage = std::string("You have not specified a valid folder.") + "\n" +
                         "Please select a folder and click OK.";
  FormResize();
}

void Tdir::FormResize() {
  RECT r{};
  GetClientRect(handle(), &r);
  geometry_[DirCtl::Panel1] = {0, 0, r.right, r.bottom};  // the panel fills the client area
  ApplyDirLayout(geometry_, ui::Application::Get().Dpi());
  for (std::size_t i = 0; i < kDirCtlCount; ++i) Control(DirCtl(i)).SetBounds(geometry_[DirCtl(i)]);
}

bool Tdir::okClick() {
  if (!directory.SelectedPath().empty()) return true;
  ui::ErrorBox(handle(), FromCodePage(invalidfoldermessage));
  return false;  // the dialog stays open
}

void Tdir::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == DirCtlId(DirCtl::ok)) {
    if (okClick()) modalresult_ = ModalResult::kOk;
  } else if (id == DirCtlId(DirCtl::cancel)) {
    modalresult_ = ModalResult::kCancel;
  }
  // IDCANCEL, which the dialog keys send for Escape, is nobody's: Escape does nothing
}

LRESULT Tdir::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (directory.Notify(reinterpret_cast<NMHDR*>(lp), &result)) return result;
      return 0;
    }
    case DM_GETDEFID: {
      // Enter presses the focused button, else OK
      const HWND focus = GetFocus();
      const int id = focus == cancel.handle() ? DirCtlId(DirCtl::cancel) : DirCtlId(DirCtl::ok);
      return MAKELRESULT(id, DC_HASDEFID);
    }
    case WM_SIZE:
      if (Panel1.handle()) FormResize();
      return 0;
    case WM_CLOSE:  // the close box: Cancel; the dialog is kept for the next showing
      if (modalresult_ == ModalResult::kNone && IsWindowVisible(handle())) {
        modalresult_ = ModalResult::kCancel;
      }
      return 0;
  }
  return Form::HandleMessage(msg, wp, lp);
}

Tdir::ModalResult Tdir::ShowModal() {
  const HWND form = handle();
  if (!form) return ModalResult::kCancel;
  const HWND owner = GetWindow(form, GW_OWNER);
  const HWND focus = GetFocus();  // given back on closing, as a dialog box would

  // centred over the owner, kept on its screen
  RECT mine{}, area{};
  GetWindowRect(form, &mine);
  const int w = mine.right - mine.left, h = mine.bottom - mine.top;
  if (!owner || !IsWindowVisible(owner) || !GetWindowRect(owner, &area)) {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  int x = area.left + (area.right - area.left - w) / 2;
  int y = area.top + (area.bottom - area.top - h) / 2;
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (GetMonitorInfoW(MonitorFromWindow(owner ? owner : form, MONITOR_DEFAULTTONEAREST), &mi)) {
    const RECT& wa = mi.rcWork;
    x = std::max<int>(wa.left, std::min<int>(x, wa.right - w));
    y = std::max<int>(wa.top, std::min<int>(y, wa.bottom - h));
  }
  SetWindowPos(form, HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);

  modalresult_ = ModalResult::kNone;
  if (owner) EnableWindow(owner, FALSE);
  ShowWindow(form, SW_SHOW);
  SetForegroundWindow(form);
  SetFocus(directory.handle());

  auto& app = ui::Application::Get();
  MSG msg;
  while (modalresult_ == ModalResult::kNone && !app.Terminated()) {
    const BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0 || r == -1) {
      if (r == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
      modalresult_ = ModalResult::kCancel;
      break;
    }
    if (IsDialogMessageW(form, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (modalresult_ == ModalResult::kNone) modalresult_ = ModalResult::kCancel;
  // the owner first, so that it can take the activation back
  if (owner) EnableWindow(owner, TRUE);
  if (owner && GetActiveWindow() == form) SetActiveWindow(owner);
  ShowWindow(form, SW_HIDE);
  if (owner) SetForegroundWindow(owner);
  if (focus && IsWindow(focus)) SetFocus(focus);
  const ModalResult result = modalresult_;
  modalresult_ = ModalResult::kNone;
  return result;
}

}  // namespace kestrel
