// The host file system on Windows, for the packer: the system's own file system, so kestrel-pack
// reads and writes files exactly as setup.exe does. BindFileFunctions64 must have run first.
#include <memory>

#include "package/pkgfile.h"
#include "package/pkgfile_win32.h"

namespace kestrel {
namespace {

// Hands every call to the process-wide file system, which it does not own.
class SystemFileSystemRef final : public FileSystem {
 public:
  std::unique_ptr<PackageFile> NewFile() override { return fs_.NewFile(); }
  bool FindEntry(const std::u16string& path, bool& is_folder) override {
    return fs_.FindEntry(path, is_folder);
  }
  bool CreateFolder(const std::u16string& path) override { return fs_.CreateFolder(path); }
  bool ApplyAttributes(const std::u16string& path, std::uint32_t attributes) override {
    return fs_.ApplyAttributes(path, attributes);
  }
  bool RemoveFile(const std::u16string& path) override { return fs_.RemoveFile(path); }
  bool RemoveFolder(const std::u16string& path) override { return fs_.RemoveFolder(path); }
  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    return fs_.MoveReplacing(from, to);
  }
  void PrepareLargeBuffer(void* data, std::size_t bytes) override {
    fs_.PrepareLargeBuffer(data, bytes);
  }

 private:
  FileSystem& fs_ = SystemFileSystem();
};

}  // namespace

std::unique_ptr<FileSystem> MakeHostFileSystem() {
  return std::make_unique<SystemFileSystemRef>();
}

}  // namespace kestrel
