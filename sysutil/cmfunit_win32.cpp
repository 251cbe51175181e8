#include "sysutil/cmfunit_win32.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"

namespace kestrel {
namespace {

// A function looked up by name; GCC accepts a cast through void(*)() as deliberate.
template <class Fn>
Fn BindByName(const wchar_t* module, const char* name) {
  HMODULE m = GetModuleHandleW(module);
  if (!m) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, name)));
}

std::string ReadString(HKEY root, std::string_view key, std::string_view value,
                       std::string_view fallback, REGSAM view = 0) {
  win::RegKey h;
  std::string k(key), v(value);
  if (RegOpenKeyExA(root, k.c_str(), 0, KEY_ALL_ACCESS | view, h.out()) != ERROR_SUCCESS) {
    return std::string(fallback);
  }
  std::string out(fallback);
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(h.get(), v.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::string buf(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(h.get(), v.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                         &got) == ERROR_SUCCESS) {
      buf.resize(got < buf.size() ? got : buf.size());
      // the stored text ends at its terminating zero (which a careless writer may have left out)
      std::size_t z = buf.find('\0');
      out = z == std::string::npos ? buf : buf.substr(0, z);
    }
  }
  return out;
}

}  // namespace

bool UseWideApi() {
  static const bool wide = [] {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 148;
    static_assert(sizeof(OSVERSIONINFOA) == 148);
    if (!GetVersionExA(&info)) return true;
    return info.dwMajorVersion >= 5;
  }();
  return wide;
}

std::u16string ProgramPath() {
  if (UseWideApi()) {
    wchar_t buf[260];
    DWORD n = GetModuleFileNameW(nullptr, buf, 260);
    if (n > 260) n = 260;
    return std::u16string(reinterpret_cast<const char16_t*>(buf), n);
  }
  char buf[261];
  DWORD n = GetModuleFileNameA(nullptr, buf, 261);
  if (n > 261) n = 261;
  return FromCodePage(std::string_view(buf, n));
}

std::vector<std::u16string> CommandLineArguments() {
  std::vector<std::u16string> args;
  const bool wide = UseWideApi();
  // older systems get their 8-bit command line split by the same rules
  std::u16string line = wide ? FromWide(GetCommandLineW()) : FromCodePage(GetCommandLineA());
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(Wide(line), &argc);
  if (argv) {
    for (int i = 0; i < argc; ++i) args.push_back(FromWide(argv[i]));
    LocalFree(argv);
  }
  if (wide) {
    if (args.empty()) args.emplace_back();
    args[0] = ProgramPath();
  }
  return args;
}

std::u16string ParamStr(std::size_t index) {
  std::vector<std::u16string> args = CommandLineArguments();
  return index < args.size() ? args[index] : std::u16string();
}

std::u16string ProgramFilesFolder() {
  if (UseWideApi()) {
    wchar_t buf[260] = {};
    if (!SHGetSpecialFolderPathW(nullptr, buf, CSIDL_PROGRAM_FILES, TRUE)) return {};
    return FromWide(buf);
  }
  return FromCodePage(ReadMachineString("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer",
                                        "ProgramFilesDir", "c:\\program files\\"));
}

std::u16string UserProgramsFolder() {
  // FOLDERID_UserProgramFiles, where the system keeps one user's programs
  static const GUID kUserProgramFiles = {
      0x5CD7AEE2, 0x2219, 0x4A67, {0xB8, 0x5D, 0x6C, 0x9C, 0xE1, 0x56, 0x60, 0xCB}};
  using KnownFolderPath = HRESULT(WINAPI*)(const GUID&, DWORD, HANDLE, PWSTR*);
  // bound by name: the call is not there on the oldest systems
  if (auto known = BindByName<KnownFolderPath>(L"shell32.dll", "SHGetKnownFolderPath")) {
    PWSTR path = nullptr;
    constexpr DWORD kCreate = 0x8000;  // KF_FLAG_CREATE
    const HRESULT hr = known(kUserProgramFiles, kCreate, nullptr, &path);
    std::u16string out = SUCCEEDED(hr) && path ? FromWide(path) : std::u16string();
    CoTaskMemFree(path);
    if (!out.empty()) return out;
  }
  wchar_t buf[260] = {};
  if (!UseWideApi() || !SHGetSpecialFolderPathW(nullptr, buf, CSIDL_LOCAL_APPDATA, TRUE)) return {};
  return AddTrailingBackslash(FromWide(buf)) + u"Programs";
}

bool RunningAsAdministrator() {
  return IsUserAnAdmin() != FALSE;
}

std::string ReadUserString(std::string_view key, std::string_view value,
                           std::string_view fallback) {
  return ReadString(HKEY_CURRENT_USER, key, value, fallback);
}

std::string ReadClassesString(std::string_view key, std::string_view value,
                              std::string_view fallback) {
  return ReadString(HKEY_CLASSES_ROOT, key, value, fallback);
}

std::string ReadMachineString(std::string_view key, std::string_view value,
                              std::string_view fallback) {
  return ReadString(HKEY_LOCAL_MACHINE, key, value, fallback, MachineKeyView(key));
}

std::u16string ReadWideValue(HKEY root, std::string_view key, std::string_view value, REGSAM view) {
  win::RegKey h;
  const std::string k(key);
  if (RegOpenKeyExA(root, k.c_str(), 0, KEY_QUERY_VALUE | view, h.out()) != ERROR_SUCCESS)
    return {};
  const std::u16string name = FromCodePage(value);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(h.get(), Wide(name), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size > (1u << 20)) {
    return {};
  }
  std::u16string buf(size / 2 + 1, u'\0');
  DWORD got = size;
  if (RegQueryValueExW(h.get(), Wide(name), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                       &got) != ERROR_SUCCESS) {
    return {};
  }
  buf.resize(std::min<std::size_t>(got / 2, buf.size()));
  // the text ends at its terminating zero (which a careless writer may have left out)
  if (const auto z = buf.find(u'\0'); z != std::u16string::npos) buf.resize(z);
  return buf;
}

bool RunningUnderWow64() {
  static const bool wow64 = [] {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto is_wow64 = BindByName<IsWow64ProcessFn>(L"kernel32.dll", "IsWow64Process");
    BOOL yes = FALSE;
    return is_wow64 && is_wow64(GetCurrentProcess(), &yes) && yes;
  }();
  return wow64;
}

REGSAM MachineKeyView(std::string_view key) {
  return RunningUnderWow64() && InNativeRegistryView(key) ? KEY_WOW64_64KEY : 0;
}

LONG DeleteRegistryKey(HKEY root, const std::string& path, REGSAM view) {
  if (view == 0) return RegDeleteKeyA(root, path.c_str());
  // only where a view is asked for, on 64-bit systems, which all have it
  using RegDeleteKeyExAFn = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);
  auto del = BindByName<RegDeleteKeyExAFn>(L"advapi32.dll", "RegDeleteKeyExA");
  return del ? del(root, path.c_str(), view, 0) : ERROR_CALL_NOT_IMPLEMENTED;
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE m = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (m || GetLastError() != ERROR_INVALID_PARAMETER) return m;
  return LoadLibraryW(name);
}

void RestrictDllSearch() {
  // both looked up by name: a static import of either would stop the program loading on
  // systems that lack it
  using SetDefaultDirsFn = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
  auto set_default = BindByName<SetDefaultDirsFn>(L"kernel32.dll", "SetDefaultDllDirectories");
  if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // older systems: at least take the current folder out of the search
  auto set_dir = BindByName<SetDllDirectoryFn>(L"kernel32.dll", "SetDllDirectoryW");
  if (set_dir) set_dir(L"");
}

}  // namespace kestrel
