// The file system of a POSIX host: the packer's extract and verify, and the host tests.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "package/pkgfile.h"
#include "sysutil/codepage.h"

namespace kestrel {
namespace {

// Windows separators become the host's; everything else passes through as UTF-8.
std::string HostPath(const std::u16string& path) {
  std::string out = Utf16ToUtf8(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

class PosixFile final : public PackageFile {
 public:
  ~PosixFile() override { Close(); }

  bool OpenRead(const std::u16string& path) override {
    Close();
    fd_ = ::open(HostPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
  }

  bool CreateWrite(const std::u16string& path) override;

  std::uint32_t Read(void* buffer, std::uint32_t& n) override {
    auto* out = static_cast<char*>(buffer);
    std::uint32_t got = 0;
    // a regular file delivers everything in one call; the loop only covers signals and pipes
    while (fd_ >= 0 && got < n) {
      const ssize_t r = ::read(fd_, out + got, n - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<std::uint32_t>(r);
    }
    n = got;
    return got;
  }

  bool Write(const void* buffer, std::uint32_t n) override {
    const auto* in = static_cast<const char*>(buffer);
    std::uint32_t put = 0;
    while (fd_ >= 0 && put < n) {
      const ssize_t w = ::write(fd_, in + put, n - put);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      put += static_cast<std::uint32_t>(w);
    }
    return fd_ >= 0 && put == n;
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  std::int64_t Size() override {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::int64_t>(st.st_size);
  }

  std::int64_t Position() override {
    if (fd_ < 0) return 0;
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    return pos < 0 ? 0 : static_cast<std::int64_t>(pos);
  }

  bool Seek(std::int64_t position) override {
    if (fd_ < 0 || position < 0) return false;
    return ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
  }

 private:
  int fd_ = -1;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<PackageFile> NewFile() override { return std::make_unique<PosixFile>(); }

  bool FindEntry(const std::u16string& path, bool& is_folder) override {
    struct stat st {};
    const std::string host = HostPath(path);
    if (host.empty() || ::stat(host.c_str(), &st) != 0) return false;
    is_folder = S_ISDIR(st.st_mode);
    return true;
  }

  bool CreateFolder(const std::u16string& path) override {
    const std::string host = HostPath(path);
    return !host.empty() && ::mkdir(host.c_str(), 0777) == 0;
  }

  bool ApplyAttributes(const std::u16string& path, std::uint32_t attributes) override {
    struct stat st {};
    const std::string host = HostPath(path);
    if (::stat(host.c_str(), &st) != 0) return false;
    const mode_t now = st.st_mode & 07777;
    mode_t mode = now;
    // the read-only bit is the one Windows attribute a POSIX file can carry
    if (attributes & 0x01) mode &= static_cast<mode_t>(~0222);
    // a file that already has the mode needs no change (and its inode stays clean)
    return mode == now || ::chmod(host.c_str(), mode) == 0;
  }

  bool RemoveFile(const std::u16string& path) override {
    return ::unlink(HostPath(path).c_str()) == 0;
  }

  bool RemoveFolder(const std::u16string& path) override {
    return ::rmdir(HostPath(path).c_str()) == 0;
  }

  void PrepareLargeBuffer(void* data, std::size_t bytes) override {
#ifdef MADV_HUGEPAGE
    // only whole pages inside the buffer; a refusal (no large pages here) changes nothing
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + bytes) / page * page;
    if (last > first) {
      ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    static_cast<void>(data);
    static_cast<void>(bytes);
#endif
  }
};

}  // namespace

bool PosixFile::CreateWrite(const std::u16string& path) {
  Close();
  const std::string host = HostPath(path);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  fd_ = ::open(host.c_str(), kFlags, 0666);
  // Making the folder chain first only matters when a folder is missing, and then the open fails
  // with ENOENT: the chain is made and the open tried once more, which ends as making it first
  // would, without two directory searches for every file of a folder that already stands.
  if (fd_ < 0 && errno == ENOENT) {
    const auto k = path.rfind(u'\\');
    if (k != std::u16string::npos) {
      PosixFileSystem fs;
      CreateFolderChain(fs, path.substr(0, k + 1));
      fd_ = ::open(host.c_str(), kFlags, 0666);
    }
  }
  return fd_ >= 0;
}

std::unique_ptr<FileSystem> MakeHostFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace kestrel
