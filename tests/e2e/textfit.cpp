// The width check, run inside setup.exe: the driver hooks the wizard's thread with this DLL and
// sends its window a registered message; the hook measures, in the window's own fonts, every
// text the window shows and, in the wizard, every text of the language that its controls can
// come to hold (the uninstall's, the stopped pages'), each against its control's client area.
// A text measured wider or taller than its control is an overflow.
//
// From the environment (the driver's, which setup.exe inherits): KFIT_OUT the result file
// (UTF-8, appended), KFIT_LANG the language, KFIT_NAME, KFIT_VERSION, KFIT_BRAND and
// KFIT_FOLDER the placeholders' values. One line per measurement:
//   fit LANG WINDOW CONTROL KEY need=WxH box=WxH ok|OVER
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "pack/translations.h"
#include "sysutil/codepage.h"
#include "sysutil/texts.h"
#include "tests/textplaces.h"
#include "wizard/layout.h"

namespace {

using kestrel::TextId;

std::wstring W(std::u16string_view s) {
  return std::wstring(s.begin(), s.end());
}

std::wstring EnvW(const wchar_t* name) {
  wchar_t buf[2048] = {};
  const DWORD n = GetEnvironmentVariableW(name, buf, 2048);
  return n && n < 2048 ? std::wstring(buf, n) : std::wstring();
}

std::u16string U(const std::wstring& s) {
  return std::u16string(s.begin(), s.end());
}

std::string Utf8(const std::wstring& s) {
  return kestrel::Utf16ToUtf8(U(s));
}

void Put(const std::string& line) {
  const std::wstring out = EnvW(L"KFIT_OUT");
  if (out.empty()) return;
  HANDLE f = CreateFileW(out.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  const std::string s = line + "\n";
  DWORD put;
  WriteFile(f, s.data(), DWORD(s.size()), &put, nullptr);
  CloseHandle(f);
}

int Dpi() {
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return dpi;
}

std::wstring ClassOf(HWND h) {
  wchar_t buf[64] = {};
  GetClassNameW(h, buf, 64);
  return buf;
}

std::wstring TextOf(HWND h) {
  std::wstring s(size_t(GetWindowTextLengthW(h)) + 1, L'\0');
  s.resize(size_t(GetWindowTextW(h, s.data(), int(s.size()))));
  return s;
}

// The size `text` needs in control `h` as the control draws it, and the size it has.
struct Need {
  SIZE need;
  SIZE box;
  bool measured;
};

Need Measure(HWND h, const std::wstring& text, int height) {
  Need r{{0, 0}, {0, 0}, false};
  RECT client;
  GetClientRect(h, &client);
  if (height) client.bottom = height;
  r.box = {client.right, client.bottom};
  const std::wstring cls = ClassOf(h);
  const LONG style = GetWindowLongW(h, GWL_STYLE);
  const UINT rtl = (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_RTLREADING) ? DT_RTLREADING : 0;
  HDC dc = GetDC(h);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)));
  const int dpi = Dpi();
  RECT t{0, 0, client.right, 0};
  if (cls == L"Static" && (style & SS_TYPEMASK) != SS_ICON && (style & SS_TYPEMASK) != SS_BITMAP) {
    UINT flags = DT_CALCRECT | DT_EXPANDTABS | rtl | ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0);
    const LONG type = style & SS_TYPEMASK;
    // the static control wraps words unless it is told not to; a word wider than the line is
    // what DT_CALCRECT then reports as the width
    if (type != SS_LEFTNOWORDWRAP && type != SS_SIMPLE) flags |= DT_WORDBREAK;
    DrawTextW(dc, text.c_str(), int(text.size()), &t, flags);
    r.need = {t.right - t.left, t.bottom - t.top};
    r.measured = true;
  } else if (cls == L"Button") {
    DrawTextW(dc, text.c_str(), int(text.size()), &t, DT_CALCRECT | DT_SINGLELINE | rtl);
    const LONG type = style & BS_TYPEMASK;
    int extra;
    if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
        type == BS_AUTORADIOBUTTON) {
      // the box and the gap before its text
      extra = kestrel::ScaleToDpi(13, dpi) + kestrel::ScaleToDpi(4, dpi);
    } else {
      // a push button's edge and focus rectangle on both sides
      extra = 2 * kestrel::ScaleToDpi(4, dpi);
    }
    r.need = {t.right - t.left + extra, t.bottom - t.top};
    r.measured = type <= BS_AUTORADIOBUTTON;  // not group boxes or owner-drawn buttons
  }
  SelectObject(dc, old);
  ReleaseDC(h, dc);
  return r;
}

struct Counts {
  int checked = 0;
  int over = 0;
};

void Report(Counts& c, const std::string& lang, const std::string& window, const std::string& ctl,
            const std::string& key, HWND h, const std::wstring& text, int height = 0) {
  if (text.empty()) return;
  const Need n = Measure(h, text, height);
  if (!n.measured) return;
  const bool ok = n.need.cx <= n.box.cx && n.need.cy <= n.box.cy;
  ++c.checked;
  if (!ok) ++c.over;
  Put("fit " + lang + " " + window + " " + ctl + " " + key + " need=" + std::to_string(n.need.cx) +
      "x" + std::to_string(n.need.cy) + " box=" + std::to_string(n.box.cx) + "x" +
      std::to_string(n.box.cy) + (ok ? " ok" : " OVER") + (ok ? "" : " text=" + Utf8(text)));
}

BOOL CALLBACK Collect(HWND h, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
  return TRUE;
}

std::string CtlName(HWND h) {
  const int id = GetDlgCtrlID(h);
  if (id >= kestrel::kWizCtlIdBase && id < kestrel::kWizCtlIdBase + int(kestrel::kWizCtlCount)) {
    return std::string(kestrel::kWizCtlNames[size_t(id - kestrel::kWizCtlIdBase)]);
  }
  if (id >= kestrel::kDirCtlIdBase && id < kestrel::kDirCtlIdBase + int(kestrel::kDirCtlCount)) {
    return "dir." + std::string(kestrel::kDirCtlNames[size_t(id - kestrel::kDirCtlIdBase)]);
  }
  return "id" + std::to_string(id);
}

HWND FindCtl(const std::vector<HWND>& children, std::string_view name) {
  for (HWND h : children) {
    if (CtlName(h) == name) return h;
  }
  return nullptr;
}

// Every text of the language that the wizard's controls can hold, its placeholders filled.
void MeasureCatalog(Counts& c, const std::string& lang, const std::vector<HWND>& children) {
  const std::u16string name = U(EnvW(L"KFIT_NAME")), version = U(EnvW(L"KFIT_VERSION")),
                       brand = U(EnvW(L"KFIT_BRAND")), folder = U(EnvW(L"KFIT_FOLDER"));
  const std::u16string path = folder + u"\\product.exe";
  auto text = [&](TextId id) {
    const auto t = kestrel::pack::CatalogText(id, lang);
    return t ? kestrel::Utf8ToUtf16(*t) : std::u16string();
  };
  // the stopped page's label may hold any status text
  std::vector<std::u16string> statuses;
  for (const auto& p : kestrel::textfit::kTextPlaces) {
    if (kestrel::TextKey(p.id).substr(0, 7) == "status_") {
      statuses.push_back(kestrel::FillText(text(p.id), brand, {{u"path", path}}));
    }
  }
  for (const auto& p : kestrel::textfit::kTextPlaces) {
    if (p.controls.empty() || p.controls[0] == '@' || p.controls == kestrel::textfit::kPart) {
      continue;
    }
    std::vector<std::u16string> filled;
    if (p.id == TextId::installing_stopped_label) {
      for (const auto& s : statuses)
        filled.push_back(kestrel::FillText(text(p.id), brand, {{u"status", s}}));
    } else {
      filled.push_back(kestrel::FillText(
          text(p.id), brand, {{u"name", name}, {u"version", version}, {u"folder", folder}}));
    }
    std::string_view list = p.controls;
    while (!list.empty()) {
      const std::size_t blank = list.find(' ');
      const std::string_view ctl = list.substr(0, blank);
      list = blank == list.npos ? std::string_view() : list.substr(blank + 1);
      HWND h = FindCtl(children, ctl);
      if (!h) {
        Put("fit " + lang + " wizard " + std::string(ctl) + " missing");
        ++c.over;
        continue;
      }
      // a stopped run's label has the progress bar's place as well (the wizard hides the bar)
      int height = 0;
      if (p.id == TextId::installing_stopped_label || p.id == TextId::uninstall_stopped_label) {
        RECT label, bar;
        GetWindowRect(h, &label);
        GetWindowRect(FindCtl(children, "installprogress"), &bar);
        height = bar.bottom - label.top;
      }
      for (const auto& f : filled) {
        Report(c, lang, "wizard", std::string(ctl), std::string(kestrel::TextKey(p.id)), h, W(f),
               height);
      }
    }
  }
}

void MeasureWindow(HWND top) {
  const std::string lang = Utf8(EnvW(L"KFIT_LANG"));
  std::vector<HWND> children;
  EnumChildWindows(top, Collect, reinterpret_cast<LPARAM>(&children));
  const bool wizard = FindCtl(children, "pages") != nullptr;
  const bool folder = FindCtl(children, "dir.directory") != nullptr;
  const std::string window = wizard ? "wizard" : folder ? "folder" : "box";
  Counts c;
  // what it shows now
  for (HWND h : children) Report(c, lang, window, CtlName(h), "shown", h, TextOf(h));
  if (wizard) MeasureCatalog(c, lang, children);
  Put("fit " + lang + " " + window + " checked=" + std::to_string(c.checked) +
      " over=" + std::to_string(c.over));
}

}  // namespace

// The driver's hook on the wizard's thread: the registered message asks for the measurement.
extern "C" __declspec(dllexport) LRESULT CALLBACK KestrelFitHook(int code, WPARAM wp, LPARAM lp) {
  static const UINT kFit = RegisterWindowMessageW(L"KestrelTextFit");
  if (code == HC_ACTION) {
    const auto* m = reinterpret_cast<const CWPSTRUCT*>(lp);
    if (m->message == kFit) MeasureWindow(m->hwnd);
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}
