// Runs the system helpers for the end-to-end tests and prints what they did as UTF-8 lines.
//   kestrel_helperprobe folders
//   kestrel_helperprobe register DEST        the registry rows of a sample package
//   kestrel_helperprobe shortcuts DEST       the sample package's shortcuts, read back
//   kestrel_helperprobe readlink FILE.lnk
//   kestrel_helperprobe service create|start|stop|running|delete NAME [PROGRAM]
//   kestrel_helperprobe findwindow PATTERN   with a window titled "Demo App (running)" open
//   kestrel_helperprobe dllsearch open|restricted   loads kestrel_planted.dll by name
//   kestrel_helperprobe picture FILE...      each file decoded as the wizard's side picture
// Exit code 0 on success (for "service", the operation's result), 1 otherwise.
#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "installengine/installsystem_win32.h"
#include "installengine/registration.h"
#include "installengine/registration_win32.h"
#include "installengine/shortcuts.h"
#include "package/identity.h"
#include "package/records.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
#include "sysutil/services_win32.h"
#include "sysutil/shell_win32.h"
#include "toolkit/picture_win32.h"

namespace kestrel {
namespace {

void Out(const std::string& line) {
  std::string s = line + "\n";
  DWORD put;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), DWORD(s.size()), &put, nullptr);
}

std::string U8(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

// A package as the packer would describe it: a product name with characters that file names
// may not hold, three extra shortcuts (one with arguments), an association with the second.
ConfigRecord SampleConfig() {
  ConfigRecord c{};
  WriteShort(c.setupmarker, "Install Files Present");
  WriteShort(c.exename, "demo.exe");
  WriteShort(c.version, "2.5");
  WriteShort(c.displayname, "Demo: App?");
  WriteWide(c.programgroup, u"\\Demo Group");
  WriteWide(c.installfolder, u"\\Demo App");
  WriteShort(c.appdatafolder, "DemoData");
  WriteShort(c.shortcutfiles[0], "tool.exe -x -y");
  WriteShort(c.shortcutcaptions[0], "Demo Tool");
  WriteShort(c.shortcutfiles[1], "viewer.exe");
  WriteShort(c.shortcutcaptions[1], "Viewer");
  WriteShort(c.shortcutfiles[2], "readme.txt");
  WriteShort(c.shortcutcaptions[2], "Read me");
  WriteShort(c.servicefiles[0], "svc\\kestrel_testsvc.exe");
  WriteShort(c.servicenames[0], "KestrelTestSvc");
  WriteShort(c.assocext, ".dmo");
  WriteShort(c.assocclass, "Brimlow.MXA");
  WriteShort(c.assocdescription, "Demo document");
  WriteShort(c.assocprogram, "viewer.exe");
  return c;
}

int Folders() {
  Out(std::string("wide=") + (UseWideApi() ? "1" : "0"));
  Out("desktop=" + U8(DesktopFolder()));
  Out("appdata=" + U8(AppDataFolder()));
  Out("windows=" + U8(WindowsFolder()));
  Out("startmenu=" + U8(StartMenuFolder()));
  Out("programs=" + U8(ProgramsFolder()));
  Out("programfiles=" + U8(ProgramFilesFolder()));
  Out(std::string("wow64=") + (RunningUnderWow64() ? "1" : "0"));
  return 0;
}

int Register(const std::u16string& dest) {
  const ConfigRecord c = SampleConfig();
  RegistrationInput in{c, dest, DesktopFolder(), WindowsFolder()};
  in.identity = ProductIdentity(c);
  in.uninstaller = dest + u"\\" + UninstallerName(in.identity);
  in.recordpath = dest + u"\\" + RecordName(in.identity);
  std::vector<RegistryRow> rows = AppPathsRows(in);
  for (auto& r : AssociationRows(in)) rows.push_back(r);
  if (UseWideApi()) {
    for (const ServiceEntry& s : ConfiguredServices(c, dest)) {
      for (auto& r : ServiceRows(in, s)) rows.push_back(r);
    }
  }
  for (auto& r : UninstallRows(in)) rows.push_back(r);
  const std::vector<unsigned long> errors = WriteRegistryRows(rows);
  Out("rows=" + std::to_string(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (errors[i] != 0) Out("row failed: " + rows[i].key + " [" + rows[i].name + "]");
  }
  // read back through the readers the uninstaller uses
  const std::string key = AppPathsKey("demo.exe");
  Out("read Displayname=" + ReadMachineString(key, "Displayname", "<none>"));
  Out("read Path=" + U8(DecodeLetterHex(ReadMachineString(key, "Path", ""))));
  Out("read Startpath=" + U8(DecodeLetterHex(ReadMachineString(key, "Startpath", ""))));
  Out("read Desktop=" + U8(DecodeLetterHex(ReadMachineString(key, "Desktop", ""))));
  Out("read missing=" + ReadMachineString(key, "NoSuchValue", "<default>"));
  // values written as UTF-16 read back exactly, whatever the code page
  const std::string ukey = UninstallKey(ProductIdentity(c));
  Out("readw InstallLocation=" +
      U8(ReadWideValue(HKEY_LOCAL_MACHINE, ukey, "InstallLocation", MachineKeyView(ukey))));
  Out("readw AppPaths=" + U8(ReadWideValue(HKEY_LOCAL_MACHINE, key, "", MachineKeyView(key))));
  Out("read class=" + ReadClassesString(".dmo", "", "<none>"));
  Out("read command=" + ReadClassesString("Brimlow.MXA\\shell\\open\\command", "", "<none>"));
  Out("read user=" + ReadUserString("Software\\Kestrel\\NoSuchKey", "x", "<default>"));
  return 0;
}

int ReadLink(const std::u16string& file) {
  if (FAILED(CoInitialize(nullptr))) return 1;
  int rc = 1;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link)))) {
    IPersistFile* pf = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&pf)))) {
      if (SUCCEEDED(pf->Load(Wide(file), STGM_READ))) {
        wchar_t buf[1024];
        Out("link " + U8(file));
        buf[0] = 0;
        link->GetPath(buf, 1024, nullptr, 0);
        Out("  target=" + U8(FromWide(buf)));
        buf[0] = 0;
        link->GetArguments(buf, 1024);
        Out("  arguments=" + U8(FromWide(buf)));
        buf[0] = 0;
        link->GetDescription(buf, 1024);
        Out("  description=" + U8(FromWide(buf)));
        buf[0] = 0;
        link->GetWorkingDirectory(buf, 1024);
        Out("  workfolder=" + U8(FromWide(buf)));
        rc = 0;
      } else {
        Out("link " + U8(file) + " unreadable");
      }
      pf->Release();
    }
    link->Release();
  }
  CoUninitialize();
  return rc;
}

int Shortcuts(const std::u16string& dest) {
  const ConfigRecord c = SampleConfig();
  ShortcutInput in{c, dest, ProgramsFolder(), StartMenuFolder(), WindowsFolder(), DesktopFolder()};
  in.uninstaller = dest + u"\\" + UninstallerName(ProductIdentity(c));
  in.uninstallarguments = u"-ui demo.exe \"/PRODUCT=" + FromCodePage(ProductIdentity(c)) + u"\"";
  const ShortcutPlan plan = PlanShortcuts(in);
  CreateShortcuts(plan);
  Out("group=" + U8(plan.groupfolder));
  int rc = 0;
  for (const ShortcutRow& r : plan.grouprows) rc |= ReadLink(r.linkfile);
  rc |= ReadLink(plan.desktop.linkfile);
  return rc;
}

int Service(const std::wstring& op, const std::string& name, const std::u16string& program) {
  bool r = false;
  if (op == L"create") {
    r = ServiceCreate(name, program);
  } else if (op == L"start") {
    r = ServiceStart(name);
  } else if (op == L"stop") {
    r = ServiceStop(name);
  } else if (op == L"running") {
    r = ServiceRunning(name);
  } else if (op == L"delete") {
    r = ServiceDelete(name);
  }
  Out("service " + Utf16ToUtf8(std::u16string(op.begin(), op.end())) + " " + name + "=" +
      (r ? "1" : "0"));
  return r ? 0 : 1;
}

int FindWindowTest(const std::string& pattern) {
  HWND own = CreateWindowExW(0, L"Static", L"Demo App (running)", WS_POPUP, 0, 0, 10, 10, nullptr,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
  HWND found = FindWindowByPattern(pattern);
  char title[256] = {};
  if (found) GetWindowTextA(found, title, 256);
  Out("pattern " + pattern + " -> " + (found ? std::string(title) : std::string("<none>")) +
      (found && found == own ? " (own)" : ""));
  if (own) DestroyWindow(own);
  return found ? 0 : 1;
}

// Whether a DLL beside the program is found by its bare name.
int DllSearch(bool restricted) {
  if (restricted) RestrictDllSearch();
  HMODULE m = LoadLibraryW(L"kestrel_planted.dll");
  Out(std::string("planted=") + (m ? "1" : "0"));
  if (m) FreeLibrary(m);
  return 0;
}

// Each file's bytes handed to the picture decoder from memory: its size and two pixels (the side
// picture's sky and sun), or "none" when it is refused.
int Pictures(int argc, wchar_t** argv) {
  for (int i = 2; i < argc; ++i) {
    std::string line = "picture " + U8(FromWide(argv[i])) + " ";
    std::vector<std::uint8_t> bytes;
    win::File f(
        CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD size = f ? GetFileSize(f.get(), nullptr) : 0, got = 0;
    bytes.resize(size);
    if (!f || (size && !ReadFile(f.get(), bytes.data(), size, &got, nullptr)) || got != size) {
      Out(line + "unreadable");
      return 1;
    }
    auto picture = ui::DecodePicture(bytes.data(), bytes.size());
    DIBSECTION ds{};
    if (!picture || !GetObjectW(picture->bitmap(), sizeof ds, &ds) || !ds.dsBm.bmBits) {
      Out(line + "none");
      continue;
    }
    line += std::to_string(picture->width()) + "x" + std::to_string(picture->height());
    for (POINT p : {POINT{20, 20}, POINT{88, 78}}) {
      if (p.x >= picture->width() || p.y >= picture->height()) continue;
      // top-down rows of blue, green, red and one unused byte
      auto px =
          static_cast<const std::uint8_t*>(ds.dsBm.bmBits) + ds.dsBm.bmWidthBytes * p.y + 4 * p.x;
      line += " p" + std::to_string(p.x) + "," + std::to_string(p.y) + "=" + std::to_string(px[2]) +
              "," + std::to_string(px[1]) + "," + std::to_string(px[0]);
    }
    Out(line);
  }
  return 0;
}

}  // namespace
}  // namespace kestrel

int wmain(int argc, wchar_t** argv) {
  using namespace kestrel;
  if (argc < 2) return 2;
  const std::wstring cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? FromWide(argv[i]) : std::u16string(); };
  if (cmd == L"folders") return Folders();
  if (cmd == L"register") return Register(arg(2));
  if (cmd == L"shortcuts") return Shortcuts(arg(2));
  if (cmd == L"readlink") return ReadLink(arg(2));
  if (cmd == L"service" && argc >= 4) return Service(argv[2], ToCodePage(arg(3)), arg(4));
  if (cmd == L"findwindow") return FindWindowTest(ToCodePage(arg(2)));
  if (cmd == L"dllsearch") return DllSearch(arg(2) == u"restricted");
  if (cmd == L"picture") return Pictures(argc, argv);
  return 2;
}
