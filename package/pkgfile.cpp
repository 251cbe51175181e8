#include "package/pkgfile.h"

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

namespace kestrel {

bool FolderExists(FileSystem& fs, const std::u16string& path) {
  const std::u16string p = StripTrailingBackslash(path);
  // a drive letter alone ("C:" or "C:\") is taken as present without asking the system
  if (p.size() == 2 && path.size() >= 2 && path[1] == u':') return true;
  // so is the root alone ("\"), which no search can name once its separator is stripped
  if (p.empty() && !path.empty()) return true;
  bool is_folder = false;
  return fs.FindEntry(p, is_folder) && is_folder;
}

bool CreateFolderChain(FileSystem& fs, const std::u16string& path) {
  const auto k = path.rfind(u'\\');
  if (k != std::u16string::npos) {
    const std::u16string parent = path.substr(0, k);
    if (!FolderExists(fs, parent)) CreateFolderChain(fs, parent);
  }
  if (path.empty()) return false;
  if (FolderExists(fs, path)) return true;
  return fs.CreateFolder(path);
}

bool FilePresent(FileSystem& fs, const std::u16string& path) {
  if (IsDeviceName(ToCodePage(path))) return false;
  bool is_folder = false;
  return fs.FindEntry(path, is_folder) && !is_folder;
}

}  // namespace kestrel
