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
#include "installengine/shortcuts.h"
#include "package/certtable.h"
#include "package/extension.h"
#include "package/identity.h"
#include "package/pkgfile_win32.h"
#include "package/startload.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"

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

// The registry view each row is read in, as a 64-bit system keeps an installation: a 32-bit
// installer's rows land in the 32-bit view, except its App Paths record, which it writes in the
// 64-bit view where the system's shell looks (this verifier may be either kind of program).
bool g_installer32_on64 = false;

bool IsAppPathsKey(const std::string& key) {
  std::string k = key;
  for (char& c : k) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return k.rfind("software\\microsoft\\windows\\currentversion\\app paths\\", 0) == 0;
}

REGSAM ViewOf(RegRoot root, const std::string& key) {
  if (!g_installer32_on64 || root != RegRoot::kLocalMachine) return 0;
  return IsAppPathsKey(key) ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// The installer's machine type from its PE header: true for a 32-bit x86 program.
bool Is32BitProgram(const std::u16string& path) {
  HANDLE f =
      CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  unsigned char head[4096] = {};
  DWORD got = 0;
  ReadFile(f, head, sizeof head, &got, nullptr);
  CloseHandle(f);
  if (got < 64) return false;
  const DWORD pe = head[60] | head[61] << 8 | head[62] << 16 | DWORD(head[63]) << 24;
  return pe + 6 <= got && head[pe] == 'P' && head[pe + 1] == 'E' && head[pe + 4] == 0x4c &&
         head[pe + 5] == 0x01;  // IMAGE_FILE_MACHINE_I386
}

bool SystemIs64Bit() {
  if (sizeof(void*) == 8) return true;
  BOOL wow = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow) && wow;
}

HKEY Root(RegRoot r) {
  return r == RegRoot::kLocalMachine  ? HKEY_LOCAL_MACHINE
         : r == RegRoot::kCurrentUser ? HKEY_CURRENT_USER
                                      : HKEY_CLASSES_ROOT;
}

// The value, or nothing when the key or value is missing.
bool ReadValue(const RegistryRow& row, std::string& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(Root(row.root), row.key.c_str(), 0, KEY_READ | ViewOf(row.root, row.key),
                    &key) != ERROR_SUCCESS) {
    return false;
  }
  char buf[4096] = {};
  DWORD size = sizeof buf - 1, type = 0;
  const LONG r = RegQueryValueExA(key, row.name.empty() ? nullptr : row.name.c_str(), nullptr,
                                  &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS) return false;
  if (row.type == RegType::kWideString) {
    // read back wide: the text must be exactly the one written, whatever the code page
    HKEY wkey = nullptr;
    if (RegOpenKeyExA(Root(row.root), row.key.c_str(), 0, KEY_READ | ViewOf(row.root, row.key),
                      &wkey) != ERROR_SUCCESS) {
      return false;
    }
    wchar_t wbuf[2048] = {};
    DWORD wsize = sizeof wbuf - sizeof(wchar_t);
    const std::u16string name = FromCodePage(row.name);
    const LONG wr = RegQueryValueExW(wkey, row.name.empty() ? nullptr : Wide(name), nullptr, &type,
                                     reinterpret_cast<BYTE*>(wbuf), &wsize);
    RegCloseKey(wkey);
    if (wr != ERROR_SUCCESS || type != REG_SZ) return false;
    value = U8(FromWide(wbuf));
    return true;
  }
  if (row.type == RegType::kDword) {
    if (type != REG_DWORD || size != 4) return false;
    DWORD v = 0;
    memcpy(&v, buf, 4);
    value = std::to_string(v);
    return true;
  }
  if (type != REG_SZ) return false;
  value.assign(buf, size && buf[size - 1] == 0 ? size - 1 : size);
  return true;
}

// A row's value as ReadValue gives it back.
std::string Expected(const RegistryRow& row) {
  if (row.type == RegType::kWideString) return U8(row.wide);
  return row.type == RegType::kDword ? std::to_string(row.dword) : row.value;
}

bool KeyExists(RegRoot root, const std::string& path, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
    return false;
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

std::vector<RegistryRow> AllRows(const ConfigRecord& config, const std::u16string& dest,
                                 const std::vector<DirectoryRecord>& records) {
  RegistrationInput in{config, dest, DesktopFolder(), WindowsFolder()};
  for (const DirectoryRecord& r : records) {
    if (r.filesize > 0) in.installedbytes += std::uint64_t(r.filesize);
  }
  in.identity = ProductIdentity(config);
  in.uninstaller = AddTrailingBackslash(dest) + UninstallerName(in.identity);
  in.recordpath = AddTrailingBackslash(dest) + RecordName(in.identity);
  SYSTEMTIME t{};
  GetLocalTime(&t);
  char day[16];
  snprintf(day, sizeof day, "%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
  in.installdate = day;
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
  ShortcutInput in{config,          dest,           ProgramsFolder(), StartMenuFolder(),
                   WindowsFolder(), DesktopFolder()};
  RegistrationInput reg{config, dest, u"", u""};
  reg.identity = ProductIdentity(config);
  in.uninstaller = AddTrailingBackslash(dest) + UninstallerName(reg.identity);
  in.uninstallarguments = UninstallArguments(reg);
  return PlanShortcuts(in);
}

// The product's own uninstaller, in its installation folder.
std::u16string Uninstaller(const ConfigRecord& config, const std::u16string& dest) {
  return AddTrailingBackslash(dest) + UninstallerName(ProductIdentity(config));
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
  for (const RegistryRow& row : AllRows(p.config, dest, p.records)) {
    std::string got;
    const bool present = ReadValue(row, got);
    const std::string want = Expected(row);
    Check(present && got == want, "row " + row.key + "|" + row.name + "=" + want +
                                      (present ? "" : " (missing)") +
                                      (present && got != want ? " got=" + got : ""));
  }
  // a 32-bit installer's Uninstall key is where 64-bit Windows keeps 32-bit programs, not in the
  // 64-bit view
  if (g_installer32_on64) {
    const std::string key = UninstallKey(ProductIdentity(p.config));
    Check(KeyExists(RegRoot::kLocalMachine, key, KEY_WOW64_32KEY) &&
              !KeyExists(RegRoot::kLocalMachine, key, KEY_WOW64_64KEY),
          "Uninstall key in the 32-bit view only");
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
  // the uninstaller copy: the program part of the setup program; a signed one's certificate
  // entry and CheckSum as the stub's signature had them, or cleared when only the whole setup
  // file was signed (its entry would name bytes the copy lacks)
  const auto copy = ReadAll(Uninstaller(p.config, dest));
  auto program = ReadAll(setup);
  const auto offset = static_cast<std::size_t>(p.config.packageoffset);
  if (program.size() >= offset) program.resize(offset);
  PeSignatureFields f;
  if (ParsePeSignatureFields(program, f)) {
    StubSignature stub;
    const auto ext = ExtensionView::Parse(std::span(p.config.reserved11628));
    const auto item = ext ? ext->Find(ConfigTag::kStubSignature) : std::nullopt;
    if (item && DecodeStubSignature(*item, stub)) {
      Out("uninstaller copy: the stub's signature restored");
    } else if (f.address != 0 || f.size != 0) {
      stub = StubSignature{};
      Out("uninstaller copy: a foreign certificate entry cleared");
    } else {
      stub = StubSignature{f.address, f.size, f.checksum};
    }
    StoreLe32(program.data() + f.checksum_at, stub.checksum);
    StoreLe32(program.data() + f.entry_at, stub.address);
    StoreLe32(program.data() + f.entry_at + 4, stub.size);
  }
  const bool same = program.size() == offset && copy == program;
  Check(same, "uninstaller " + U8(Uninstaller(p.config, dest)) +
                  " size=" + std::to_string(copy.size()) + " want=" + std::to_string(offset));
}

void Absent(const std::u16string& dest, const Package& p) {
  const std::string exe = ReadShort(p.config.exename);
  // absent from both views
  for (REGSAM view : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
    const std::string in = view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)";
    Check(!KeyExists(RegRoot::kLocalMachine, AppPathsKey(exe), view), "no App Paths key" + in);
    Check(!KeyExists(RegRoot::kLocalMachine, UninstallKey(ProductIdentity(p.config)), view),
          "no Uninstall key" + in);
  }
  const std::string ext = ReadShort(p.config.assocext);
  if (!ext.empty()) Check(!KeyExists(RegRoot::kClassesRoot, ext, 0), "no extension key " + ext);
  Check(!FileExists(Uninstaller(p.config, dest)), "no uninstaller");
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
  g_installer32_on64 = Is32BitProgram(setup) && SystemIs64Bit();
  Out(std::string("view ") +
      (g_installer32_on64 ? "32-bit installer on 64-bit Windows" : "native"));
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
