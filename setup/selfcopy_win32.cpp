#include "setup/selfcopy_win32.h"

#include <windows.h>

#include "installengine/registration.h"
#include "setup/options.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
#include "sysutil/treeremoval_win32.h"

namespace kestrel {
namespace {

// How long the copy waits for the first process to end before it leaves the uninstaller be.
constexpr DWORD kFirstProcessWaitMs = 30000;

std::u16string Decimal(unsigned long long v) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + v % 10));
    v /= 10;
  } while (v);
  return digits;
}

bool ParseHandle(std::u16string_view text, unsigned long long& out) {
  if (text.empty() || text.size() > 20) return false;
  out = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    out = out * 10 + static_cast<unsigned long long>(c - u'0');
  }
  return true;
}

bool IdentityOf(HANDLE file, unsigned long& volume, unsigned long& high, unsigned long& low) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  volume = info.dwVolumeSerialNumber;
  high = info.nFileIndexHigh;
  low = info.nFileIndexLow;
  return true;
}

}  // namespace

std::optional<int> RunFromTemporaryCopy(const std::u16string& commandline) {
  // a new file of our own in the temporary folder, never one that was there
  wchar_t tempbuf[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH, tempbuf);
  if (n == 0 || n > MAX_PATH) return std::nullopt;
  const std::u16string copy = FromWide(tempbuf) + u"kestrel-uninstall-" +
                              Decimal(GetCurrentProcessId()) + u"-" + Decimal(GetTickCount()) +
                              u".exe";
  if (!CopyFileW(Wide(ProgramPath()), Wide(copy), TRUE)) return std::nullopt;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readend = nullptr, writeend = nullptr;
  if (!CreatePipe(&readend, &writeend, &inherit, 0)) {
    DeleteFileW(Wide(copy));
    return std::nullopt;
  }
  win::File reader(readend), writer(writeend);
  SetHandleInformation(readend, HANDLE_FLAG_INHERIT, 0);
  HANDLE me = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &me,
                       SYNCHRONIZE, TRUE, 0)) {
    DeleteFileW(Wide(copy));
    return std::nullopt;
  }
  win::Event myself(me);

  // the switch goes right behind "-ui" and the program's name, before a /D= that takes the rest
  const std::vector<CommandArgument> args = SplitCommandLine(commandline);
  const std::size_t at = args.size() > 3 ? args[3].offset : commandline.size();
  std::u16string line = QuoteArgument(copy) + u" ";
  if (args.size() > 1) line += commandline.substr(args[1].offset, at - args[1].offset);
  if (!line.empty() && line.back() != u' ') line += u" ";
  line += u"/UNINSTALLCOPY=" + Decimal(reinterpret_cast<std::uintptr_t>(writeend)) + u"," +
          Decimal(reinterpret_cast<std::uintptr_t>(me));
  if (at < commandline.size()) line += u" " + commandline.substr(at);

  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::u16string mutableline = line;
  if (!CreateProcessW(Wide(copy), reinterpret_cast<wchar_t*>(mutableline.data()), nullptr, nullptr,
                      TRUE, 0, nullptr, nullptr, &si, &pi)) {
    DeleteFileW(Wide(copy));
    return std::nullopt;
  }
  win::Event child(pi.hProcess);
  CloseHandle(pi.hThread);
  writer.reset();  // only the copy holds the pipe's write end now
  myself.reset();

  DWORD code = 0, read = 0;
  if (!ReadFile(reader.get(), &code, sizeof code, &read, nullptr) || read != sizeof code) {
    // the copy ended without a word: its own exit code tells
    WaitForSingleObject(child.get(), INFINITE);
    if (!GetExitCodeProcess(child.get(), &code)) code = 1603;
  }
  return static_cast<int>(code);
}

bool FirstProcessLink::Attach(const std::u16string& childof) {
  const std::size_t comma = childof.find(u',');
  unsigned long long pipe = 0, process = 0;
  if (comma == std::u16string::npos || !ParseHandle(childof.substr(0, comma), pipe) ||
      !ParseHandle(childof.substr(comma + 1), process)) {
    return false;
  }
  pipe_ = reinterpret_cast<void*>(static_cast<std::uintptr_t>(pipe));
  process_ = reinterpret_cast<void*>(static_cast<std::uintptr_t>(process));
  return true;
}

void FirstProcessLink::NoteUninstaller(const std::u16string& path,
                                       std::vector<std::u16string> folders) {
  win::File file(CreateFileW(Wide(LongPathForm(path)), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
  noted_ = file && IdentityOf(file.get(), volume_, indexhigh_, indexlow_);
  uninstaller_ = path;
  folders_ = std::move(folders);
}

void FirstProcessLink::Finish(int code, bool removed) {
  if (!pipe_) return;
  const DWORD value = static_cast<DWORD>(code);
  DWORD put = 0;
  WriteFile(pipe_, &value, sizeof value, &put, nullptr);
  CloseHandle(pipe_);
  pipe_ = nullptr;
  if (removed && noted_ && WaitForSingleObject(process_, kFirstProcessWaitMs) == WAIT_OBJECT_0) {
    // only the very file the first process ran: a new installation may have put another there
    const std::u16string longform = LongPathForm(uninstaller_);
    win::File file(CreateFileW(Wide(longform), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    unsigned long volume = 0, high = 0, low = 0;
    if (file && IdentityOf(file.get(), volume, high, low) && volume == volume_ &&
        high == indexhigh_ && low == indexlow_) {
      FILE_DISPOSITION_INFO disposition{TRUE};
      if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                      sizeof disposition)) {
        file.reset();
        DeleteFileW(Wide(longform));
      }
    }
    file.reset();
    for (const std::u16string& folder : folders_) RemoveDirectoryW(Wide(LongPathForm(folder)));
  }
  CloseHandle(process_);
  process_ = nullptr;
  // the copy itself cannot go while it runs: the system removes it at the next start
  MoveFileExW(Wide(ProgramPath()), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace kestrel
