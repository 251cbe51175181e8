// Checks what an installation left on the system against what the portable core computes from
// the package, value for value, so the end-to-end tests compare the real result with the data.
//   kestrel_verify installed SETUP.EXE DEST   files and attributes, registry rows, services,
//                                              shortcuts, the uninstaller copy
//   kestrel_verify absent SETUP.EXE DEST       no registry row, no uninstaller copy, no shortcut
// One line per check ("ok ..." or "BAD ..."); the last line is "verify bad=N checks=M".
#include <windows.h>
// after windows.h, which they need
#include <objbase.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "installengine/extract.h"
#include "installengine/registration.h"
#include "package/pkgfile_win32.h"
#include "package/startload.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"
#include "sysutil/shortcuts.h"

namespace {

using namespace kestrel;

int g_bad = 0, g_checks = 0;

void Out(const std::string& line) {
  std::string s = line + "\n";
  DWORD put;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), DWORD(s.size()), &put, nullptr);
}

std::string U8(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

void Check(bool good, const std::string& what) {
  ++g_checks;
  if (!good) ++g_bad;
  Out((good ? "ok " : "BAD ") + what);
}

HKEY Root(RegRoot r) {
  return r == RegRoot::kLocalMachine  ? HKEY_LOCAL_MACHINE
         : r == RegRoot::kCurrentUser ? HKEY_CURRENT_USER
                                      : HKEY_CLASSES_ROOT;
}

// The value, or nothing when the key or value is missing.
bool ReadValue(const RegistryRow& row, std::string& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(Root(row.root), row.key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char buf[4096] = {};
  DWORD size = sizeof buf - 1, type = 0;
  const LONG r = RegQueryValueExA(key, row.name.empty() ? nullptr : row.name.c_str(), nullptr,
                                  &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS || type != REG_SZ) return false;
  value.assign(buf, size && buf[size - 1] == 0 ? size - 1 : size);
  return true;
}

bool KeyExists(RegRoot root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::vector<std::uint8_t> ReadAll(const std::u16string& path) {
  std::vector<std::uint8_t> out;
  HANDLE f =
      CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return out;
  std::uint8_t buf[65536];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) out.insert(out.end(), buf, buf + got);
  CloseHandle(f);
  return out;
}

struct Link {
  bool loaded = false;
  std::u16string target, arguments, description, workfolder;
};

Link LoadLink(const std::u16string& file) {
  Link l;
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return l;
  }
  IPersistFile* pf = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&pf)))) {
    if (SUCCEEDED(pf->Load(Wide(file), STGM_READ))) {
      wchar_t buf[1024];
      l.loaded = true;
      buf[0] = 0;
      link->GetPath(buf, 1024, nullptr, SLGP_RAWPATH);
      l.target = FromWide(buf);
      buf[0] = 0;
      link->GetArguments(buf, 1024);
      l.arguments = FromWide(buf);
      buf[0] = 0;
      link->GetDescription(buf, 1024);
      l.description = FromWide(buf);
      buf[0] = 0;
      link->GetWorkingDirectory(buf, 1024);
      l.workfolder = FromWide(buf);
    }
    pf->Release();
  }
  link->Release();
  return l;
}

bool FileExists(const std::u16string& path) {
  return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

struct Package {
  ConfigRecord config{};
  std::vector<DirectoryRecord> records;
  bool ok = false;
};

Package LoadPackage(const std::u16string& setup) {
  Package p;
  auto file = SystemFileSystem().NewFile();
  std::string licence;
  if (!file->OpenRead(setup) || LoadStartupPackage(*file, p.config, licence) != StartupLoad::kOk) {
    return p;
  }
  PackageReader reader(SystemFileSystem());
  reader.programpath = setup;
  reader.packageoffset = p.config.packageoffset;
  reader.packageend = p.config.licenseoffset;
  reader.config = &p.config;
  if (!reader.OpenPackage()) return p;
  for (std::size_t i = 0; i < reader.records.size(); ++i) p.records.push_back(reader.records[i]);
  p.ok = true;
  return p;
}

std::vector<RegistryRow> AllRows(const ConfigRecord& config, const std::u16string& dest) {
  const RegistrationInput in{config, dest, DesktopFolder(), WindowsFolder()};
  std::vector<RegistryRow> rows = AppPathsRows(in);
  for (auto& r : AssociationRows(in)) rows.push_back(r);
  if (UseWideApi()) {
    for (const auto& s : ConfiguredServices(config, dest)) {
      for (auto& r : ServiceRows(in, s)) rows.push_back(r);
    }
  }
  for (auto& r : UninstallRows(in)) rows.push_back(r);
  return rows;
}

ShortcutPlan Plan(const ConfigRecord& config, const std::u16string& dest) {
  return PlanShortcuts(ShortcutInput{config, dest, ProgramsFolder(), StartMenuFolder(),
                                     WindowsFolder(), DesktopFolder()});
}

std::u16string Uninstaller() {
  return AddTrailingBackslash(WindowsFolder()) + std::u16string(kUninstallerName);
}

void Installed(const std::u16string& setup, const std::u16string& dest, const Package& p) {
  // files and their attribute bits
  for (const DirectoryRecord& r : p.records) {
    const std::u16string path =
        AddTrailingBackslash(StripTrailingBackslash(dest) + ReadWide(r.subfolder)) +
        ReadWide(r.filename);
    const DWORD attr = GetFileAttributesW(Wide(path));
    const unsigned want = r.attributes & 0x27u;
    char text[64];
    snprintf(text, sizeof text, " attributes=0x%02x want=0x%02x", unsigned(attr & 0x27u), want);
    Check(attr != INVALID_FILE_ATTRIBUTES && (attr & 0x27u) == want, "file " + U8(path) + text);
  }
  // every registry row, value for value
  for (const RegistryRow& row : AllRows(p.config, dest)) {
    std::string got;
    const bool present = ReadValue(row, got);
    Check(present && got == row.value, "row " + row.key + "|" + row.name + "=" + row.value +
                                           (present ? "" : " (missing)") +
                                           (present && got != row.value ? " got=" + got : ""));
  }
  // services created and running
  for (const auto& s : ConfiguredServices(p.config, dest)) {
    bool running = false;
    for (int i = 0; i < 50 && !running; ++i) {
      running = ServiceRunning(s.name);
      if (!running) Sleep(100);
    }
    Check(running, "service " + s.name + " running");
  }
  // the shortcuts, read back
  const ShortcutPlan plan = Plan(p.config, dest);
  std::vector<ShortcutRow> rows = plan.grouprows;
  rows.push_back(plan.desktop);
  for (const ShortcutRow& r : rows) {
    const Link l = LoadLink(r.linkfile);
    Check(l.loaded, "link " + U8(r.linkfile));
    if (!l.loaded) continue;
    Check(l.target == r.target, "  target=" + U8(l.target) + " want=" + U8(r.target));
    Check(l.arguments == r.arguments,
          "  arguments=" + U8(l.arguments) + " want=" + U8(r.arguments));
    Check(l.description == r.description,
          "  description=" + U8(l.description) + " want=" + U8(r.description));
    Check(l.workfolder == r.workfolder,
          "  workfolder=" + U8(l.workfolder) + " want=" + U8(r.workfolder));
  }
  // the uninstaller copy: exactly the program part of the setup program
  const auto copy = ReadAll(Uninstaller());
  auto program = ReadAll(setup);
  const auto offset = static_cast<std::size_t>(p.config.packageoffset);
  const bool same = program.size() >= offset && copy.size() == offset &&
                    std::equal(copy.begin(), copy.end(), program.begin());
  Check(same, "uninstaller " + U8(Uninstaller()) + " size=" + std::to_string(copy.size()) +
                  " want=" + std::to_string(offset));
}

void Absent(const std::u16string& dest, const Package& p) {
  const std::string exe = ReadShort(p.config.exename);
  Check(!KeyExists(RegRoot::kLocalMachine, AppPathsKey(exe)), "no App Paths key");
  Check(!KeyExists(RegRoot::kLocalMachine, UninstallKey(ReadShort(p.config.displayname))),
        "no Uninstall key");
  const std::string ext = ReadShort(p.config.assocext);
  if (!ext.empty()) Check(!KeyExists(RegRoot::kClassesRoot, ext), "no extension key " + ext);
  Check(!FileExists(Uninstaller()), "no uninstaller copy");
  const ShortcutPlan plan = Plan(p.config, dest);
  Check(!FileExists(plan.desktop.linkfile), "no desktop shortcut");
  for (const auto& s : ConfiguredServices(p.config, dest)) {
    Check(!ServiceRunning(s.name), "service " + s.name + " not running");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    Out("usage: kestrel_verify installed|absent SETUP.EXE DEST");
    return 2;
  }
  BindFileFunctions64();
  const std::wstring mode = argv[1];
  const std::u16string setup = FromWide(argv[2]), dest = FromWide(argv[3]);
  const Package p = LoadPackage(setup);
  Check(p.ok, "package " + U8(setup) + " files=" + std::to_string(p.records.size()));
  if (!p.ok) return 1;
  CoInitialize(nullptr);
  if (mode == L"installed") {
    Installed(setup, dest, p);
  } else {
    Absent(dest, p);
  }
  CoUninitialize();
  Out("verify bad=" + std::to_string(g_bad) + " checks=" + std::to_string(g_checks));
  return g_bad ? 1 : 0;
}
