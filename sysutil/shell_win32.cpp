#include "sysutil/shell_win32.h"

#include <objbase.h>
#include <objidl.h>
#include <shlguid.h>
#include <shlobj.h>

#include <type_traits>

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"

namespace kestrel {
namespace {

constexpr std::string_view kShellFolders =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::u16string ShellFolder(int csidl) {
  wchar_t buf[260] = {};
  if (!SHGetSpecialFolderPathW(nullptr, buf, csidl, TRUE)) return {};
  return FromWide(buf);
}

std::u16string FromShellFolders(std::string_view value, std::string_view fallback) {
  return FromCodePage(ReadUserString(kShellFolders, value, fallback));
}

struct PatternSearch {
  std::string pattern;
  HWND found;
  bool (*match)(std::string_view pattern, std::string_view title);
};

BOOL CALLBACK MatchWindow(HWND h, LPARAM lp) {
  auto* search = reinterpret_cast<PatternSearch*>(lp);
  char title[256] = {};
  const int n = GetWindowTextA(h, title, 256);
  if (n <= 0) return TRUE;  // untitled windows are passed over
  if (search->match(search->pattern, std::string_view(title, static_cast<std::size_t>(n)))) {
    search->found = h;
    return FALSE;
  }
  return TRUE;
}

using win::ComPtr;
using win::ComScope;

template <class Link>
void FillLink(Link* link, const std::u16string& target, const std::u16string& arguments,
              const std::u16string& description, const std::u16string& workfolder) {
  if constexpr (std::is_same_v<Link, IShellLinkW>) {
    link->SetPath(Wide(target));
    link->SetArguments(Wide(arguments));
    link->SetDescription(Wide(description));
    link->SetWorkingDirectory(Wide(workfolder));
  } else {
    link->SetPath(ToCodePage(target).c_str());
    link->SetArguments(ToCodePage(arguments).c_str());
    link->SetDescription(ToCodePage(description).c_str());
    link->SetWorkingDirectory(ToCodePage(workfolder).c_str());
  }
}

}  // namespace

std::u16string DesktopFolder() {
  return UseWideApi() ? ShellFolder(CSIDL_DESKTOPDIRECTORY) : FromShellFolders("Desktop", "");
}

std::u16string AppDataFolder() {
  return UseWideApi() ? ShellFolder(CSIDL_APPDATA) : FromShellFolders("AppData", "");
}

std::u16string WindowsFolder() {
  if (UseWideApi()) return ShellFolder(CSIDL_WINDOWS);
  char buf[512] = {};
  const UINT n = GetWindowsDirectoryA(buf, sizeof buf);
  return n > 0 && n < sizeof buf ? FromCodePage(std::string_view(buf, n)) : std::u16string();
}

std::u16string StartMenuFolder() {
  return UseWideApi() ? ShellFolder(CSIDL_STARTMENU) : FromShellFolders("Start Menu", "");
}

std::u16string ProgramsFolder() {
  if (UseWideApi()) return ShellFolder(CSIDL_PROGRAMS);
  const std::u16string fallback = AddTrailingBackslash(WindowsFolder()) + u"Start Menu\\Programs";
  return FromShellFolders("Programs", ToCodePage(fallback));
}

HWND FindWindowByPattern(std::string_view pattern) {
  if (pattern.empty()) return nullptr;
  PatternSearch search{std::string(pattern), nullptr, MatchTitlePattern};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindProductWindow(std::string_view pattern) {
  PatternSearch search{std::string(pattern), nullptr, MatchTitleHead};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

unsigned long CreateShortcut(const std::u16string& target, const std::u16string& arguments,
                             const std::u16string& description, const std::u16string& workfolder,
                             const std::u16string& linkfile) {
  ComScope com;
  ComPtr<IPersistFile> file;
  HRESULT hr = S_OK;
  if (UseWideApi()) {
    ComPtr<IShellLinkW> link;
    hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                          link.out_void());
    if (SUCCEEDED(hr)) {
      FillLink(link.operator->(), target, arguments, description, workfolder);
      hr = link->QueryInterface(IID_IPersistFile, file.out_void());
    }
  } else {
    ComPtr<IShellLinkA> link;
    hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                          link.out_void());
    if (SUCCEEDED(hr)) {
      FillLink(link.operator->(), target, arguments, description, workfolder);
      hr = link->QueryInterface(IID_IPersistFile, file.out_void());
    }
  }
  if (SUCCEEDED(hr)) hr = file->Save(Wide(linkfile), TRUE);
  if (SUCCEEDED(hr)) return 0;
  // a Win32 failure wrapped in an HRESULT speaks better as its own code
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32) return HRESULT_CODE(hr);
  return static_cast<unsigned long>(hr);
}

}  // namespace kestrel
