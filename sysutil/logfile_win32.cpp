#include "sysutil/logfile_win32.h"

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/productsystem_win32.h"

namespace kestrel {

namespace {

// IsReparseTagNameSurrogate: the reparse points that stand for another name (symbolic links,
// junctions, mount points), as opposed to ones that only store data elsewhere (cloud files).
constexpr DWORD kNameSurrogateTag = 0x20000000;

// The attributes of the entry itself, a link not followed; INVALID_FILE_ATTRIBUTES when absent.
DWORD AttributesOf(const std::u16string& path) {
  return GetFileAttributesW(Wide(path));
}

bool IsLink(const std::u16string& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  WIN32_FIND_DATAW data{};
  HANDLE h = FindFirstFileW(Wide(path), &data);
  if (h == INVALID_HANDLE_VALUE) return true;  // a reparse point that cannot be looked into
  FindClose(h);
  return (data.dwReserved0 & kNameSurrogateTag) != 0;
}

std::u16string FullPath(const std::u16string& path) {
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetFullPathNameW(Wide(path), MAX_PATH * 2, buf, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buf), n);
}

// Where the folders of a full path begin: behind "C:\" or "\\server\share\"; 0 for a form
// that is not a plain drive or share path ("\\?\", "\\.\").
std::size_t RootLength(const std::u16string& p) {
  if (p.size() >= 3 && p[1] == u':' && p[2] == u'\\') return 3;
  if (p.size() < 5 || p[0] != u'\\' || p[1] != u'\\' || p[2] == u'?' || p[2] == u'.') return 0;
  const std::size_t server = p.find(u'\\', 2);
  const std::size_t share = server == std::u16string::npos ? server : p.find(u'\\', server + 1);
  return share == std::u16string::npos ? 0 : share + 1;
}

std::u16string Quoted(const std::u16string& path) {
  return u"\"" + path + u"\"";
}

std::u16string WithSystemText(std::u16string text, DWORD code) {
  const std::u16string system = SystemErrorText(code);
  return system.empty() ? text : text + u" (" + system + u")";
}

// Every folder on the way to the log exists, is a folder and no link; only the last may be
// missing, and is then made. Empty when all is well, else why not.
std::u16string PrepareFolders(const std::u16string& full) {
  const std::size_t root = RootLength(full);
  const std::size_t last = full.rfind(u'\\');
  if (root == 0 || last == std::u16string::npos || last + 1 < root) {
    return u"it is not a plain local or network path";
  }
  for (std::size_t end = full.find(u'\\', root); end != std::u16string::npos && end <= last;
       end = full.find(u'\\', end + 1)) {
    const std::u16string folder = full.substr(0, end);
    const DWORD a = AttributesOf(folder);
    if (a == INVALID_FILE_ATTRIBUTES) {
      if (end != last) return u"its folder " + Quoted(folder) + u" does not exist";
      if (!CreateDirectoryW(Wide(folder), nullptr)) {
        return WithSystemText(u"its folder " + Quoted(folder) + u" cannot be made", GetLastError());
      }
      continue;
    }
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) return Quoted(folder) + u" is not a folder";
    if (IsLink(folder, a)) return u"its folder " + Quoted(folder) + u" is a link or junction";
  }
  return {};
}

}  // namespace

std::unique_ptr<FileLogSink> FileLogSink::Create(const std::u16string& path, std::u16string& why) {
  why.clear();
  const std::u16string full = FullPath(path);
  if (full.empty()) {
    why = u"its path cannot be resolved";
    return nullptr;
  }
  why = PrepareFolders(full);
  if (!why.empty()) return nullptr;
  // OPEN_ALWAYS: an existing file keeps its content until it is known to be ours
  win::File h(CreateFileW(Wide(full), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
  if (!h) {
    why = WithSystemText(u"it cannot be opened for writing", GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) {
    why = WithSystemText(u"it cannot be examined", GetLastError());
    return nullptr;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    why = u"it is a link or a folder, not a file";
    return nullptr;
  }
  if (info.nNumberOfLinks > 1) {
    why = u"it has more than one name (a hard link), so writing it would change another file";
    return nullptr;
  }
  if (info.nFileSizeLow != 0 || info.nFileSizeHigh != 0) {
    char head[64] = {};
    DWORD got = 0;
    if (!ReadFile(h.get(), head, sizeof head, &got, nullptr) ||
        !IsSetupLog(std::string_view(head, got))) {
      why = u"it already exists and is not a log of Kestrel setup";
      return nullptr;
    }
    // a log of ours: this run's lines follow the last one's
    LONG high = 0;
    if (SetFilePointer(h.get(), 0, &high, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
      why = WithSystemText(u"it cannot be appended to", GetLastError());
      return nullptr;
    }
  }
  return std::unique_ptr<FileLogSink>(new FileLogSink(h.release(), full));
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
  // the same file, which the elevated setup appended to: on behind its lines
  if (!file_) {
    file_.reset(CreateFileW(Wide(path_), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file_) SetFilePointer(file_.get(), 0, nullptr, FILE_END);
  }
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
