#include "sysutil/treeremoval_win32.h"

#include <windows.h>

#include "sysutil/cmfunit_win32.h"
#include "sysutil/handles_win32.h"

namespace kestrel {
namespace {

EntryKind KindOfAttributes(DWORD attributes, bool& folderlink) {
  folderlink = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  return folderlink ? EntryKind::kFolder : EntryKind::kFile;
}

// A read-only entry refuses to go: its attributes are cleared once and the call tried again.
template <class Call>
unsigned long WithWritable(const std::u16string& path, Call call) {
  if (call()) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  if (error == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(Wide(path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(Wide(path), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
      if (call()) return 0;
      error = GetLastError();
    }
  }
  return error;
}

}  // namespace

std::u16string LongPathForm(const std::u16string& path) {
  if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return u"\\\\?\\" + path;
  if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\' && path[2] != u'?' &&
      path[2] != u'.') {
    return u"\\\\?\\UNC\\" + path.substr(2);
  }
  return path;
}

EntryKind Win32TreeSystem::KindOf(const std::u16string& path, bool& folderlink) {
  folderlink = false;
  const DWORD attributes = GetFileAttributesW(Wide(LongPathForm(path)));
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kNone;
  return KindOfAttributes(attributes, folderlink);
}

unsigned long Win32TreeSystem::List(const std::u16string& folder, std::vector<TreeEntry>& out) {
  out.clear();
  const std::u16string longform = LongPathForm(folder);
  // The folder is held open while it is listed, without leave to delete or rename it, so it
  // cannot be swapped for a link between the check and the listing.
  win::File held(CreateFileW(Wide(longform), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!held) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(held.get(), &info)) return GetLastError();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return ERROR_DIRECTORY;  // a link by now, or no folder: never entered
  }
  WIN32_FIND_DATAW data{};
  win::FindHandle find(FindFirstFileW(Wide(longform + u"\\*"), &data));
  if (!find) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;  // empty
  }
  do {
    const std::u16string name = FromWide(data.cFileName);
    if (name == u"." || name == u"..") continue;
    TreeEntry e;
    e.name = name;
    e.kind = KindOfAttributes(data.dwFileAttributes, e.folderlink);
    out.push_back(std::move(e));
  } while (FindNextFileW(find.get(), &data));
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

unsigned long Win32TreeSystem::RemoveFile(const std::u16string& path) {
  const std::u16string longform = LongPathForm(path);
  return WithWritable(longform, [&] { return DeleteFileW(Wide(longform)) != 0; });
}

unsigned long Win32TreeSystem::RemoveFolder(const std::u16string& path) {
  const std::u16string longform = LongPathForm(path);
  return WithWritable(longform, [&] { return RemoveDirectoryW(Wide(longform)) != 0; });
}

}  // namespace kestrel
