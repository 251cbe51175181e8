#include "sysutil/folderguard_win32.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/shell_win32.h"

namespace kestrel {
namespace {

// {4df0c730-df9d-4ae3-9153-aa6b82e9795a}: the shell's known-folder manager (Vista and later)
constexpr CLSID kKnownFolderManager = {
    0x4df0c730, 0xdf9d, 0x4ae3, {0x91, 0x53, 0xaa, 0x6b, 0x82, 0xe9, 0x79, 0x5a}};

class Com {
 public:
  Com() : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~Com() {
    if (ok_) CoUninitialize();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;

 private:
  bool ok_;
};

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (ok()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

std::u16string FromBuffer(const wchar_t* buf, DWORD n, DWORD size) {
  if (n == 0 || n >= size) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buf), n);
}

// A "fill this buffer" function as a plain function and the caller's own: the loops below are
// made once, not again at every call.
template <class Ch>
struct FillFn {
  DWORD (*call)(const void* own, Ch* buf, DWORD size);
  const void* own;
};
template <class Ch, class Fn>
FillFn<Ch> AsFill(const Fn& fn) {
  return {
      [](const void* own, Ch* b, DWORD n) -> DWORD { return (*static_cast<const Fn*>(own))(b, n); },
      &fn};
}

// Calls a "fill this buffer" function, growing the buffer once when it asks for more.
std::u16string WideCallOf(FillFn<wchar_t> fn) {
  std::vector<wchar_t> buf(MAX_PATH + 1);
  DWORD n = fn.call(fn.own, buf.data(), DWORD(buf.size()));
  if (n >= buf.size() && n < 32768) {
    buf.resize(n + 1);
    n = fn.call(fn.own, buf.data(), DWORD(buf.size()));
  }
  return FromBuffer(buf.data(), n, DWORD(buf.size()));
}
template <class Fn>
std::u16string WideCall(const Fn& fn) {
  return WideCallOf(AsFill<wchar_t>(fn));
}

std::u16string NarrowCallOf(FillFn<char> fn) {
  char buf[MAX_PATH + 1] = {};
  const DWORD n = fn.call(fn.own, buf, DWORD(sizeof buf));
  if (n == 0 || n >= sizeof buf) return {};
  return FromCodePage(std::string_view(buf, n));
}
template <class Fn>
std::u16string NarrowCall(const Fn& fn) {
  return NarrowCallOf(AsFill<char>(fn));
}

void KnownFolders(std::vector<std::u16string>& out) {
  Com com;
  IKnownFolderManager* manager = nullptr;
  if (FAILED(CoCreateInstance(kKnownFolderManager, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IKnownFolderManager, reinterpret_cast<void**>(&manager))) ||
      !manager) {
    return;
  }
  KNOWNFOLDERID* ids = nullptr;
  UINT count = 0;
  if (SUCCEEDED(manager->GetFolderIds(&ids, &count)) && ids) {
    for (UINT i = 0; i < count; ++i) {
      IKnownFolder* folder = nullptr;
      if (FAILED(manager->GetFolder(ids[i], &folder)) || !folder) continue;
      PWSTR path = nullptr;
      // virtual folders have no path; missing ones are listed as the system names them
      if (SUCCEEDED(folder->GetPath(KF_FLAG_DONT_VERIFY, &path)) && path) {
        out.push_back(FromWide(path));
      }
      CoTaskMemFree(path);
      folder->Release();
    }
    CoTaskMemFree(ids);
  }
  manager->Release();
}

void CsidlFolders(std::vector<std::u16string>& out) {
  for (int csidl = 0; csidl < 0x80; ++csidl) {
    if (UseWideApi()) {
      wchar_t buf[MAX_PATH + 1] = {};
      if (SHGetSpecialFolderPathW(nullptr, buf, csidl, FALSE) && buf[0])
        out.push_back(FromWide(buf));
    } else {
      char buf[MAX_PATH + 1] = {};
      if (SHGetSpecialFolderPathA(nullptr, buf, csidl, FALSE) && buf[0])
        out.push_back(FromCodePage(buf));
    }
  }
}

std::u16string Expand(const std::u16string& text) {
  return WideCall([&](wchar_t* b, DWORD n) {
    const DWORD r = ExpandEnvironmentStringsW(Wide(text), b, n);
    return r ? r - 1 : 0;  // counts the terminating zero
  });
}

std::u16string RegText(HKEY key, const wchar_t* value) {
  wchar_t buf[1024] = {};
  DWORD type = 0, size = sizeof buf - sizeof(wchar_t);
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  const std::u16string s = FromWide(buf);
  return type == REG_EXPAND_SZ ? Expand(s) : s;
}

// Every profile the system keeps, and the folders for the default and the public profile.
void ProfileFolders(std::vector<std::u16string>& out) {
  HKEY list = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0, KEY_READ,
                    &list) != ERROR_SUCCESS) {
    return;
  }
  for (const wchar_t* v : {L"ProfilesDirectory", L"Default", L"Public", L"AllUsersProfile"}) {
    std::u16string p = RegText(list, v);
    if (!p.empty()) out.push_back(std::move(p));
  }
  for (DWORD i = 0; i < 4096; ++i) {
    wchar_t name[256];
    DWORD len = 256;
    if (RegEnumKeyExW(list, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY one = nullptr;
    if (RegOpenKeyExW(list, name, 0, KEY_READ, &one) != ERROR_SUCCESS) continue;
    std::u16string p = RegText(one, L"ProfileImagePath");
    if (!p.empty()) out.push_back(std::move(p));
    RegCloseKey(one);
  }
  RegCloseKey(list);
}

std::u16string FolderAbove(std::u16string p) {
  p = StripTrailingBackslash(p);
  const auto cut = p.rfind(u'\\');
  return cut == std::u16string::npos || cut < 3 ? std::u16string() : p.substr(0, cut);
}

using Wow64DirFn = UINT(WINAPI*)(LPWSTR, UINT);
using SystemWindowsDirFn = UINT(WINAPI*)(LPWSTR, UINT);
using LongPathWFn = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
using LongPathAFn = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);

// Bound by name: the oldest systems lack them, and the program must still start there.
template <class Fn>
Fn Kernel32(const char* name) {
  HMODULE k = GetModuleHandleW(L"kernel32.dll");
  return k ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(k, name))) : nullptr;
}

// Without GetLongPathName a short name cannot be resolved: a name that may be one ("~") is not
// judged by its spelling.
std::u16string WithoutLongNames(const std::u16string& full) {
  return full.find(u'~') == std::u16string::npos ? full : std::u16string();
}

}  // namespace

Win32PathFacts::Win32PathFacts()
    : olderrormode_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}

Win32PathFacts::~Win32PathFacts() {
  SetErrorMode(olderrormode_);
}

PathKind Win32PathFacts::KindOf(const std::u16string& path) {
  DWORD a = INVALID_FILE_ATTRIBUTES;
  if (UseWideApi()) {
    a = GetFileAttributesW(Wide(path));
  } else if (auto n = ToCodePageExact(path)) {
    a = GetFileAttributesA(n->c_str());
  }
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kNone;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder : PathKind::kFile;
}

std::u16string Win32PathFacts::LongPath(const std::u16string& path) {
  if (UseWideApi()) {
    const std::u16string full =
        WideCall([&](wchar_t* b, DWORD n) { return GetFullPathNameW(Wide(path), n, b, nullptr); });
    if (full.empty()) return {};
    static const auto long_path = Kernel32<LongPathWFn>("GetLongPathNameW");
    if (!long_path) return WithoutLongNames(full);
    return WideCall([&](wchar_t* b, DWORD n) { return long_path(Wide(full), b, n); });
  }
  const auto narrow = ToCodePageExact(path);
  if (!narrow) return {};
  const std::u16string full = NarrowCall(
      [&](char* b, DWORD n) { return GetFullPathNameA(narrow->c_str(), n, b, nullptr); });
  const auto nfull = ToCodePageExact(full);
  if (full.empty() || !nfull) return {};
  static const auto long_path = Kernel32<LongPathAFn>("GetLongPathNameA");
  if (!long_path) return WithoutLongNames(full);
  return NarrowCall([&](char* b, DWORD n) { return long_path(nfull->c_str(), b, n); });
}

std::optional<FileIdentity> Win32PathFacts::Identity(const std::u16string& path) {
  if (!UseWideApi()) return std::nullopt;
  // a network drive's root that is not connected would hold the run up: only its folders
  if (path.size() <= 3) {
    const UINT type = GetDriveTypeW(Wide(path.size() == 2 ? path + u"\\" : path));
    if (type == DRIVE_REMOTE || type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR)
      return std::nullopt;
  }
  // no access asked: the attributes and the index are readable with any handle
  Handle h(CreateFileW(Wide(path), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return std::nullopt;
  FileIdentity id;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return id;
}

bool Win32PathFacts::HasIdentities() {
  return UseWideApi();
}

bool Win32PathFacts::Representable(const std::u16string& path) {
  return UseWideApi() ? path.find(u'\0') == std::u16string::npos
                      : ToCodePageExact(path).has_value();
}

FolderDecision DecideDestinationHere(const std::u16string& path) {
  Win32PathFacts facts;
  const FolderGuard guard(SystemFoldersToKeep(), facts);
  return guard.DecideDestination(path);
}

SystemFolders SystemFoldersToKeep() {
  SystemFolders s;
  auto& f = s.folders;
  if (UseWideApi()) KnownFolders(f);
  CsidlFolders(f);
  f.push_back(ProgramFilesFolder());
  if (UseWideApi()) {
    f.push_back(WideCall([](wchar_t* b, DWORD n) { return GetTempPathW(n, b); }));
    ProfileFolders(f);
  }
  // the folder that holds the profiles, where the system does not list it
  for (int csidl : {CSIDL_PROFILE, CSIDL_COMMON_APPDATA}) {
    wchar_t buf[MAX_PATH + 1] = {};
    if (UseWideApi() && SHGetSpecialFolderPathW(nullptr, buf, csidl, FALSE))
      f.push_back(FolderAbove(FromWide(buf)));
  }
  // A 32-bit program on 64-bit Windows is told only of "Program Files (x86)"; the 64-bit
  // folders are named by these variables alone, and must be kept all the same.
  if (UseWideApi()) {
    for (const wchar_t* name :
         {L"ProgramW6432", L"CommonProgramW6432", L"ProgramFiles", L"ProgramFiles(x86)",
          L"CommonProgramFiles", L"CommonProgramFiles(x86)", L"ProgramData", L"ALLUSERSPROFILE",
          L"PUBLIC", L"USERPROFILE", L"SystemRoot", L"windir"}) {
      const std::u16string v =
          WideCall([name](wchar_t* b, DWORD n) { return GetEnvironmentVariableW(name, b, n); });
      if (!v.empty()) f.push_back(v);
    }
  }
  const DWORD drives = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (drives & (1u << i)) f.push_back(std::u16string(1, char16_t(u'A' + i)) + u":\\");
  }

  auto& t = s.subtrees;
  t.push_back(WindowsFolder());
  if (UseWideApi()) {
    t.push_back(WideCall([](wchar_t* b, DWORD n) { return GetWindowsDirectoryW(b, n); }));
    if (auto sysdir = Kernel32<SystemWindowsDirFn>("GetSystemWindowsDirectoryW"))
      t.push_back(WideCall([&](wchar_t* b, DWORD n) { return DWORD(sysdir(b, n)); }));
    t.push_back(WideCall([](wchar_t* b, DWORD n) { return GetSystemDirectoryW(b, n); }));
    auto wow = Kernel32<Wow64DirFn>("GetSystemWow64DirectoryW");
    if (wow) t.push_back(WideCall([&](wchar_t* b, DWORD n) { return DWORD(wow(b, n)); }));
  } else {
    t.push_back(NarrowCall([](char* b, DWORD n) { return GetWindowsDirectoryA(b, n); }));
    t.push_back(NarrowCall([](char* b, DWORD n) { return GetSystemDirectoryA(b, n); }));
  }
  return s;
}

}  // namespace kestrel
