// Asks the uninstaller's folder guard about paths on this system, for the end-to-end tests.
//   kestrel_guardprobe decide HEX [MAIN EXE]   the verdict for the letter-hex path (with MAIN
//                                              and EXE: as the installation folder)
//   kestrel_guardprobe shortname PATH          the system's short form of PATH
//   kestrel_guardprobe folders                 how many system folders the guard knows
//   kestrel_guardprobe exact TEXT              whether TEXT reaches an 8-bit call unchanged
// One fact a line as UTF-8; exit code 0 when the probe ran.
#include <windows.h>

#include <string>

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/folderguard_win32.h"
#include "tests/e2e/driverkit.h"

namespace {

using e2e::Out;

std::string U8(const std::u16string& s) {
  return kestrel::Utf16ToUtf8(s);
}

const char* ReasonName(kestrel::FolderReason r) {
  using R = kestrel::FolderReason;
  switch (r) {
    case R::kDelete:
      return "delete";
    case R::kAbsent:
      return "absent";
    case R::kBadSpelling:
      return "spelling";
    case R::kUnrepresentable:
      return "unrepresentable";
    case R::kNotFolder:
      return "notfolder";
    case R::kUnresolved:
      return "unresolved";
    case R::kSystemFolder:
      return "system";
    case R::kHoldsSystemFolder:
      return "holds";
    case R::kInsideWindows:
      return "inside-windows";
    case R::kNotRecorded:
      return "notrecorded";
  }
  return "?";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace kestrel;
  if (argc < 2) return 2;
  const std::wstring cmd = argv[1];
  if (cmd == L"decide" && argc >= 3) {
    const std::u16string path = DecodeLetterHex(Utf16ToUtf8(FromWide(argv[2])));
    Win32PathFacts facts;
    const DWORD t0 = GetTickCount();
    const FolderGuard guard(SystemFoldersToKeep(), facts);
    Out("guard ms=" + std::to_string(GetTickCount() - t0));
    const FolderDecision d = argc >= 5
                                 ? guard.DecideInstallFolder(path, ToCodePage(FromWide(argv[3])),
                                                             ToCodePage(FromWide(argv[4])))
                                 : guard.Decide(path);
    Out(std::string("reason=") + ReasonName(d.reason));
    Out("path=" + U8(d.path));
    Out("collision=" + U8(d.collision));
    Out("message=" + U8(KeptFolderMessage(d)));
    return 0;
  }
  if (cmd == L"shortname" && argc >= 3) {
    wchar_t buf[MAX_PATH + 1] = {};
    const DWORD n = GetShortPathNameW(argv[2], buf, MAX_PATH);
    Out("short=" + (n && n <= MAX_PATH ? U8(FromWide(buf)) : std::string()));
    return 0;
  }
  if (cmd == L"folders") {
    const SystemFolders s = SystemFoldersToKeep();
    Out("folders=" + std::to_string(s.folders.size()));
    Out("subtrees=" + std::to_string(s.subtrees.size()));
    for (const auto& f : s.folders) Out("folder " + U8(f));
    for (const auto& f : s.subtrees) Out("subtree " + U8(f));
    return 0;
  }
  if (cmd == L"exact" && argc >= 3) {
    const auto n = ToCodePageExact(FromWide(argv[2]));
    Out(std::string("exact=") + (n ? "1" : "0"));
    bool lossless = true;
    Out("converted=" + ToCodePage(FromWide(argv[2]), &lossless));
    return 0;
  }
  return 2;
}
