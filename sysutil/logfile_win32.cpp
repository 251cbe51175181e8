#include "sysutil/logfile_win32.h"

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"

namespace kestrel {

namespace {

HANDLE OpenLog(const std::u16string& path, bool append) {
  HANDLE h = CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && append) SetFilePointer(h, 0, nullptr, FILE_END);
  return h;
}

}  // namespace

std::unique_ptr<FileLogSink> FileLogSink::Create(const std::u16string& path, bool append) {
  HANDLE h = OpenLog(path, append);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<FileLogSink>(new FileLogSink(h, path));
}

FileLogSink::FileLogSink(HANDLE file, std::u16string path) : file_(file), path_(std::move(path)) {
  InitializeCriticalSection(&lock_);
}

void FileLogSink::Suspend() {
  EnterCriticalSection(&lock_);
  file_.reset();
  LeaveCriticalSection(&lock_);
}

void FileLogSink::Resume() {
  EnterCriticalSection(&lock_);
  if (!file_) file_.reset(OpenLog(path_, true));
  LeaveCriticalSection(&lock_);
}

FileLogSink::~FileLogSink() {
  DeleteCriticalSection(&lock_);
}

void FileLogSink::WriteLine(std::string_view utf8) {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  std::string line =
      StampedLine(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, utf8);
  // one line is one event: a line break inside a text would fake a second one
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  line += "\r\n";
  EnterCriticalSection(&lock_);
  DWORD put = 0;
  // unbuffered: the system has the line once WriteFile returns
  WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
  LeaveCriticalSection(&lock_);
}

}  // namespace kestrel
