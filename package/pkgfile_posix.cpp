// The file system of a POSIX host: the packer's extract and verify, and the host tests.
#include <dirent.h>
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

// "/a/b/" and "/a/b" name the same entry; the root keeps its one slash.
std::string StripSlashes(std::string host) {
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  return host;
}

// Windows separators become the host's; everything else passes through as UTF-8.
std::string HostPath(const std::u16string& path) {
  std::string out = Utf16ToUtf8(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

// Opens a folder one component at a time, never through a link, so that a file or folder link
// already standing in an output tree cannot send a write elsewhere. Callers resolve the links of
// the folder they were given first (the packer's extract does); -1 when a component is missing,
// is no folder or is a link.
int OpenFolderNoFollow(const std::string& folder) {
  int fd =
      ::open(!folder.empty() && folder[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t start = 0;
  while (fd >= 0 && start < folder.size()) {
    std::size_t end = folder.find('/', start);
    if (end == std::string::npos) end = folder.size();
    const std::string part(folder.data() + start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  return fd;
}

// The folder part and the last component of a host path; the folder is "." for a bare name.
void SplitHostPath(const std::string& host, std::string& folder, std::string& name) {
  const auto k = host.find_last_of('/');
  if (k == std::string::npos) {
    folder = ".";
    name = host;
  } else {
    folder.assign(host.data(), k == 0 ? 1 : k);
    name.assign(host.data() + k + 1, host.size() - k - 1);
  }
}

class FolderFd {
 public:
  explicit FolderFd(const std::string& folder) : fd_(OpenFolderNoFollow(folder)) {}
  ~FolderFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderFd(const FolderFd&) = delete;
  FolderFd& operator=(const FolderFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The folder the last file was created in, kept open with its identity: the files of one folder
// follow each other, so most creations walk no folder chain. The descriptor names the folder
// reached without links; a later stat of the path only confirms that it still names that folder.
struct CreationFolderCache {
  std::string path;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  ~CreationFolderCache() {
    if (fd >= 0) ::close(fd);
  }
};
thread_local CreationFolderCache creation_folder;

void ForgetCreationFolder() {
  if (creation_folder.fd >= 0) ::close(creation_folder.fd);
  creation_folder.fd = -1;
  creation_folder.path.clear();
}

// A descriptor of `folder`, opened without links (borrowed: the cache owns it); -1 when the walk
// fails.
int CreationFolder(const std::string& folder) {
  struct stat st {};
  if (creation_folder.fd >= 0 && creation_folder.path == folder &&
      ::stat(folder.c_str(), &st) == 0 && st.st_dev == creation_folder.dev &&
      st.st_ino == creation_folder.ino) {
    return creation_folder.fd;
  }
  ForgetCreationFolder();
  const int fd = OpenFolderNoFollow(folder);
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  creation_folder.path = folder;
  creation_folder.fd = fd;
  creation_folder.dev = st.st_dev;
  creation_folder.ino = st.st_ino;
  return fd;
}

class PosixFile final : public PackageFile {
 public:
  ~PosixFile() override { Close(); }

  bool OpenRead(const std::u16string& path) override {
    Close();
    // without O_NONBLOCK a FIFO would wait for a writer; only a regular file is a package
    fd_ = ::open(HostPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
                     ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK) != 0)) {
      Close();
    }
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

  // A link is an entry but never a folder, and the folders above are not entered through links.
  bool FindEntry(const std::u16string& path, bool& is_folder) override {
    struct stat st {};
    const std::string host = HostPath(path);
    if (host.empty()) return false;
    if (host == "/") {
      is_folder = true;
      return true;
    }
    std::string folder, name;
    SplitHostPath(StripSlashes(host), folder, name);
    const FolderFd dir(folder);
    if (dir.get() < 0 || ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
    }
    is_folder = S_ISDIR(st.st_mode);
    return true;
  }

  bool CreateFolder(const std::u16string& path) override {
    const std::string host = HostPath(path);
    if (host.empty()) return false;
    std::string folder, name;
    SplitHostPath(StripSlashes(host), folder, name);
    const FolderFd dir(folder);
    return dir.get() >= 0 && ::mkdirat(dir.get(), name.c_str(), 0777) == 0;
  }

  bool ApplyAttributes(const std::u16string& path, std::uint32_t attributes) override {
    struct stat st {};
    const std::string host = HostPath(path);
    // a link put in the file's place since it was written is left alone
    if (::lstat(host.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
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

  bool ListFiles(const std::u16string& folder, std::vector<std::u16string>& names) override {
    const std::string host = StripSlashes(HostPath(folder));
    DIR* dir = ::opendir(host.c_str());
    if (!dir) return errno == ENOENT;  // a folder not there has no files
    while (const dirent* d = ::readdir(dir)) {
      struct stat st {};
      if (::fstatat(::dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
        names.push_back(Utf8ToUtf16(d->d_name));
    }
    ::closedir(dir);
    return true;
  }

  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    return ::rename(HostPath(from).c_str(), HostPath(to).c_str()) == 0;
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
  // neither the file nor a folder on its way may be a link: the write stays where it was sent
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  std::string folder, name;
  SplitHostPath(host, folder, name);
  auto open_it = [&] {
    const int dir = CreationFolder(folder);
    if (dir < 0) {
      errno = ENOENT;  // a missing folder, or one the chain cannot enter
      return -1;
    }
    const int fd = ::openat(dir, name.c_str(), kFlags, 0666);
    if (fd < 0) {
      const int saved = errno;
      ForgetCreationFolder();
      errno = saved;
    }
    return fd;
  };
  fd_ = open_it();
  // Making the folder chain first only matters when a folder is missing, and then the open fails
  // with ENOENT: the chain is made and the open tried once more, which ends as making it first
  // would, without two directory searches for every file of a folder that already stands.
  if (fd_ < 0 && errno == ENOENT) {
    const auto k = path.rfind(u'\\');
    if (k != std::u16string::npos) {
      PosixFileSystem fs;
      CreateFolderChain(fs, path.substr(0, k + 1));
      fd_ = open_it();
    }
  }
  return fd_ >= 0;
}

std::unique_ptr<FileSystem> MakeHostFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace kestrel
