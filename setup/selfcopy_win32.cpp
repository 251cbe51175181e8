#include "setup/selfcopy_win32.h"

#include <windows.h>

#include "setup/options.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
#include "sysutil/treeremoval_win32.h"

namespace kestrel {
namespace {

// How long the copy waits for the first process to end before it leaves the uninstaller be.
constexpr DWORD kFirstProcessWaitMs = 30000;

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
  wchar_t tempbuf[MAX_PATH + 48];
  const DWORD n = GetTempPathW(MAX_PATH, tempbuf);
  if (n == 0 || n > MAX_PATH) return std::nullopt;
  wsprintfW(tempbuf + n, L"kestrel-uninstall-%lu-%lu.exe", GetCurrentProcessId(), GetTickCount());
  if (!CopyFileW(Wide(ProgramPath()), tempbuf, TRUE)) return std::nullopt;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readend = nullptr, writeend = nullptr;
  if (!CreatePipe(&readend, &writeend, &inherit, 0)) {
    DeleteFileW(tempbuf);
    return std::nullopt;
  }
  win::File reader(readend), writer(writeend);
  SetHandleInformation(readend, HANDLE_FLAG_INHERIT, 0);
  HANDLE me = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &me,
                       SYNCHRONIZE, TRUE, 0)) {
    DeleteFileW(tempbuf);
    return std::nullopt;
  }
  win::Event myself(me);

  // handles carry 32 significant bits on every Windows
  wchar_t link[48];
  wsprintfW(link, L"/UNINSTALLCOPY=%lu,%lu",
            static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(writeend)),
            static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(me)));
  std::u16string line =
      u"\"" + FromWide(tempbuf) + u"\" " + ArgumentsWith(commandline, FromWide(link));

  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(tempbuf, reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &si, &pi)) {
    DeleteFileW(tempbuf);
    return std::nullopt;
  }
  win::Event child(pi.hProcess);
  CloseHandle(pi.hThread);
  writer.reset();  // only the copy holds the pipe's write end now
  myself.reset();

  // A launcher that waits for this process to take input (WaitForInputIdle, as the shell and
  // deployment tools do) goes on now: this process shows no window, the copy does. A process
  // counts as idle once it waits on its own message queue, so it makes one and waits on it for
  // no time at all. Without it, such a launcher sat out its whole timeout before looking for the
  // copy's window.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
  DWORD code = 0, read = 0;
  if (!ReadFile(reader.get(), &code, sizeof code, &read, nullptr) || read != sizeof code) {
    // the copy ended without a word: its own exit code tells
    WaitForSingleObject(child.get(), INFINITE);
    if (!GetExitCodeProcess(child.get(), &code)) code = 1603;
  }
  return static_cast<int>(code);
}

bool FirstProcessLink::Attach(const std::u16string& childof, const std::u16string& from) {
  const std::size_t comma = childof.find(u',');
  unsigned long long pipe = 0, process = 0, owner = 0;
  if (comma == std::u16string::npos || !ParseHandle(childof.substr(0, comma), pipe) ||
      !ParseHandle(childof.substr(comma + 1), process)) {
    return false;
  }
  HANDLE handles[] = {reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(pipe)),
                      reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(process))};
  if (!from.empty()) {
    // the elevated start of the copy: the handles are in the copy that started it, which
    // waits for it; this process takes them over, so it reports to the first process and
    // removes the uninstaller, which only administrators may
    win::Event copy(ParseHandle(from, owner)
                        ? OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(owner))
                        : nullptr);
    for (HANDLE& h : handles) {
      if (!copy || !DuplicateHandle(copy.get(), h, GetCurrentProcess(), &h, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS)) {
        return false;
      }
    }
  }
  pipe_ = handles[0];
  process_ = handles[1];
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
