#include "package/pkgfile_win32.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"

namespace kestrel {
namespace {

using GetFileSizeExFn = BOOL(WINAPI*)(HANDLE, PLARGE_INTEGER);
using SetFilePointerExFn = BOOL(WINAPI*)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD);

using GetFileInformationByHandleExFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                                     DWORD);

// Written once by BindFileFunctions64 before any thread starts, only read afterwards.
GetFileSizeExFn g_get_file_size_ex = nullptr;
SetFilePointerExFn g_set_file_pointer_ex = nullptr;
GetFileInformationByHandleExFn g_get_file_information_ex = nullptr;  // Vista and later

template <class Fn>
Fn Kernel32Function(const char* name) {
  HMODULE k = GetModuleHandleW(L"kernel32.dll");
  if (!k) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(k, name)));
}

// The path in the system's 8-bit code page, for the 8-bit calls of older systems; nothing when
// the call would receive another name than the one checked (a look-alike "．．＼" reaching it as
// "..\"), and the operation is then refused as for an invalid name.
std::optional<std::string> Narrow(const std::u16string& path) {
  std::optional<std::string> n = ToCodePageExact(path);
  if (!n) SetLastError(ERROR_INVALID_NAME);
  return n;
}

HANDLE OpenFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD attributes) {
  if (UseWideApi()) {
    return CreateFileW(Wide(path), access, share, nullptr, disposition, attributes, nullptr);
  }
  const auto narrow = Narrow(path);
  if (!narrow) return INVALID_HANDLE_VALUE;
  return CreateFileA(narrow->c_str(), access, share, nullptr, disposition, attributes, nullptr);
}

class Win32File final : public PackageFile {
 public:
  explicit Win32File(FileSystem& fs) : fs_(fs) {}
  ~Win32File() override { Close(); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  bool OpenRead(const std::u16string& path) override {
    Close();
    handle_.reset(
        OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    mode_ = 0;
    return IsOpen();
  }

  // Making the folder chain first only matters when a folder is missing, and then the create
  // fails with "path not found": the chain is made and the create tried once more, which ends as
  // making it first would, without two directory searches for every file of a folder that
  // already stands.
  bool CreateWrite(const std::u16string& path) override {
    Close();
    mode_ = 1;
    handle_.reset(OpenFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    if (IsOpen()) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) return false;
    CreateFolderChain(fs_, FolderPart(path));  // its outcome shows in the create below
    handle_.reset(OpenFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    return IsOpen();
  }

  // From the open handle, no second look-up of the path. Only the basic information class is
  // asked for: the full one (GetFileInformationByHandle) costs Wine a name look-up per file,
  // more than the SetFileAttributesW it would spare. Without that call (before Vista): unknown.
  bool Attributes(std::uint32_t& attributes) override {
    FILE_BASIC_INFO info{};
    if (!IsOpen() || !g_get_file_information_ex ||
        !g_get_file_information_ex(handle_.get(), FileBasicInfo, &info, sizeof info)) {
      return false;
    }
    attributes = info.FileAttributes;
    return true;
  }

  std::uint32_t Read(void* buffer, std::uint32_t& n) override {
    DWORD got = 0;
    if (!IsOpen() || !ReadFile(handle_.get(), buffer, n, &got, nullptr)) got = 0;
    n = got;
    return got;
  }

  bool Write(const void* buffer, std::uint32_t n) override {
    DWORD put = 0;
    return IsOpen() && WriteFile(handle_.get(), buffer, n, &put, nullptr) && put == n;
  }

  void Close() override { handle_.reset(); }
  bool Flush() override { return handle_ && FlushFileBuffers(handle_.get()) != 0; }

  bool IsOpen() const override { return static_cast<bool>(handle_); }

  std::int64_t Size() override {
    if (!IsOpen()) return 0;
    if (g_get_file_size_ex) {
      LARGE_INTEGER size{};
      return g_get_file_size_ex(handle_.get(), &size) ? size.QuadPart : 0;
    }
    return static_cast<std::int64_t>(GetFileSize(handle_.get(), nullptr));
  }

  std::int64_t Position() override {
    if (!IsOpen()) return 0;
    if (g_set_file_pointer_ex) {
      LARGE_INTEGER zero{}, pos{};
      return g_set_file_pointer_ex(handle_.get(), zero, &pos, FILE_CURRENT) ? pos.QuadPart : 0;
    }
    return static_cast<std::int64_t>(SetFilePointer(handle_.get(), 0, nullptr, FILE_CURRENT));
  }

  bool Seek(std::int64_t position) override {
    if (!IsOpen()) return false;
    if (g_set_file_pointer_ex) {
      LARGE_INTEGER to{};
      to.QuadPart = position;
      return g_set_file_pointer_ex(handle_.get(), to, nullptr, FILE_BEGIN) != 0;
    }
    const auto low = static_cast<std::uint32_t>(position & 0xFFFFFFFF);
    if ((static_cast<std::uint64_t>(position) >> 32) != 0) return false;
    return SetFilePointer(handle_.get(), static_cast<LONG>(low), nullptr, FILE_BEGIN) == low;
  }

 private:
  FileSystem& fs_;
  win::File handle_;
  std::uint16_t mode_ = 0;  // 0: opened for reading, 1: created for writing
};

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<PackageFile> NewFile() override { return std::make_unique<Win32File>(*this); }

  bool FindEntry(const std::u16string& path, bool& is_folder) override {
    // a search pattern would match other names; no real file name holds * or ?
    if (path.empty() || path.find_first_of(u"*?") != std::u16string::npos) return false;
    DWORD attributes = 0;
    HANDLE h;
    if (UseWideApi()) {
      WIN32_FIND_DATAW data{};
      h = FindFirstFileW(Wide(path), &data);
      attributes = data.dwFileAttributes;
    } else {
      const auto narrow = Narrow(path);
      if (!narrow) return false;
      WIN32_FIND_DATAA data{};
      h = FindFirstFileA(narrow->c_str(), &data);
      attributes = data.dwFileAttributes;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
  }

  bool CreateFolder(const std::u16string& path) override {
    if (UseWideApi()) return CreateDirectoryW(Wide(path), nullptr) != 0;
    const auto narrow = Narrow(path);
    return narrow && CreateDirectoryA(narrow->c_str(), nullptr) != 0;
  }

  bool ApplyAttributes(const std::u16string& path, std::uint32_t attributes) override {
    if (UseWideApi()) return SetFileAttributesW(Wide(path), attributes) != 0;
    const auto narrow = Narrow(path);
    return narrow && SetFileAttributesA(narrow->c_str(), attributes) != 0;
  }

  bool RemoveFile(const std::u16string& path) override {
    if (UseWideApi()) return DeleteFileW(Wide(path)) != 0;
    const auto narrow = Narrow(path);
    return narrow && DeleteFileA(narrow->c_str()) != 0;
  }

  bool RemoveFolder(const std::u16string& path) override {
    if (UseWideApi()) return RemoveDirectoryW(Wide(path)) != 0;
    const auto narrow = Narrow(path);
    return narrow && RemoveDirectoryA(narrow->c_str()) != 0;
  }

  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    if (UseWideApi()) {
      return MoveFileExW(Wide(from), Wide(to),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    const auto a = Narrow(from), b = Narrow(to);
    if (!a || !b) return false;
    // the oldest systems know no replacing move: the old file goes first
    DeleteFileA(b->c_str());
    return MoveFileA(a->c_str(), b->c_str()) != 0;
  }

  bool ListFiles(const std::u16string& folder, std::vector<std::u16string>& names) override {
    if (!UseWideApi()) return false;  // the oldest systems search each name
    WIN32_FIND_DATAW data{};
    win::FindHandle h(FindFirstFileW(Wide(folder + u"\\*"), &data));
    const DWORD error = GetLastError();
    // a folder not there has no files
    if (!h) return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      names.emplace_back(reinterpret_cast<const char16_t*>(data.cFileName));
      // a name may reach the file by its short name too
      if (data.cAlternateFileName[0])
        names.emplace_back(reinterpret_cast<const char16_t*>(data.cAlternateFileName));
    } while (FindNextFileW(h.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
  }
};

}  // namespace

void BindFileFunctions64() {
  g_get_file_size_ex = Kernel32Function<GetFileSizeExFn>("GetFileSizeEx");
  g_set_file_pointer_ex = Kernel32Function<SetFilePointerExFn>("SetFilePointerEx");
  g_get_file_information_ex =
      Kernel32Function<GetFileInformationByHandleExFn>("GetFileInformationByHandleEx");
}

bool HaveFileFunctions64() {
  return g_get_file_size_ex && g_set_file_pointer_ex;
}

FileSystem& SystemFileSystem() {
  static Win32FileSystem fs;
  return fs;
}

}  // namespace kestrel
