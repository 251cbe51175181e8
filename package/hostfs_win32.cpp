// The host file system on Windows, for the packer: the system's own file system, so kestrel-pack
// reads and writes files exactly as setup.exe does. BindFileFunctions64 must have run first.
#include <memory>

#include "package/pkgfile.h"
#include "package/pkgfile_win32.h"

namespace kestrel {
namespace {

// Hands every call to the process-wide file system, which it does not own.
class SystemFileSystemRef final : public ForwardingFileSystem {
 public:
  SystemFileSystemRef() : ForwardingFileSystem(SystemFileSystem()) {}
};

}  // namespace

std::unique_ptr<FileSystem> MakeHostFileSystem() {
  return std::make_unique<SystemFileSystemRef>();
}

}  // namespace kestrel
