#include "pack/hostio.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "pack/tools.h"

#ifdef _WIN32
#include <direct.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kestrel::pack {
namespace fs = std::filesystem;

namespace {

std::string TooLarge(std::string_view what, const fs::path& path, std::uint64_t size,
                     std::uint64_t limit) {
  return std::string(what) + " " + PrintablePath(path) + " is " + std::to_string(size) +
         " bytes long; at most " + std::to_string(limit) + " are read";
}

std::string NotRegular(std::string_view what, const fs::path& path) {
  return std::string(what) + " " + PrintablePath(path) +
         " is not a regular file (a FIFO, a device or a folder cannot be read as one)";
}

}  // namespace

#ifdef _WIN32
bool ReadInputFile(const fs::path& path, std::uint64_t limit, std::string_view what,
                   std::vector<std::uint8_t>& out, std::string& error) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    error = "cannot read " + std::string(what) + " " + PrintablePath(path);
    return false;
  }
  if (!fs::is_regular_file(st)) {
    error = NotRegular(what, path);
    return false;
  }
  const std::uint64_t size = fs::file_size(path, ec);
  if (!ec && size > limit) {
    error = TooLarge(what, path, size, limit);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  out.assign(static_cast<std::size_t>(size), 0);
  if (!in || !in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size)) ||
      in.peek() != std::char_traits<char>::eof()) {
    error = "cannot read " + std::string(what) + " " + PrintablePath(path) +
            " (did it change while it was read?)";
    return false;
  }
  return true;
}
#else
bool ReadInputFile(const fs::path& path, std::uint64_t limit, std::string_view what,
                   std::vector<std::uint8_t>& out, std::string& error) {
  // opened without waiting, then looked at, so a FIFO never blocks the open
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + std::string(what) + " " + PrintablePath(path) + ": " +
            std::strerror(errno);
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = NotRegular(what, path);
    return false;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > limit) {
    error = TooLarge(what, path, size, limit);
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // one byte more than the limit tells a file that grew since it was looked at
  out.assign(static_cast<std::size_t>(size) + 1, 0);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      error = "cannot read " + std::string(what) + " " + PrintablePath(path) + ": " +
              std::strerror(errno);
      return false;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  if (got > limit) {
    error = TooLarge(what, path, got, limit);
    return false;
  }
  out.resize(got);
  return true;
}
#endif

bool CheckOutputIsNoInput(const fs::path& output, const std::vector<fs::path>& inputs,
                          std::string& error) {
  std::error_code ec;
  if (!fs::exists(output, ec)) return true;
  for (const fs::path& input : inputs) {
    if (fs::equivalent(output, input, ec) && !ec) {
      error = "the output " + PrintablePath(output) + " is the input " + PrintablePath(input) +
              "; writing it would destroy that file";
      return false;
    }
  }
  return true;
}

bool CheckOutputFolder(const fs::path& output, std::string& error) {
  const fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
  const std::string head = "cannot write " + PrintablePath(output) + ": ";
  std::error_code ec;
  if (fs::is_directory(output, ec)) {
    error = head + "it is a folder; -o takes the setup program's file name";
    return false;
  }
  const fs::file_status st = fs::status(folder, ec);
  if (st.type() == fs::file_type::not_found) {
    error = head + "its folder " + PrintablePath(folder) + " does not exist";
    return false;
  }
  if (ec) {
    error =
        head + "its folder " + PrintablePath(folder) + " cannot be reached (" + ec.message() + ")";
    return false;
  }
  if (st.type() != fs::file_type::directory) {
    error = head + PrintablePath(folder) + " is not a folder";
    return false;
  }
#ifndef _WIN32
  // Windows answers this from the read-only attribute alone; there the create itself tells
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    error = head + "its folder " + PrintablePath(folder) + " cannot be written (" +
            std::strerror(errno) + ")";
    return false;
  }
#endif
  return true;
}

bool ReadSourceDateEpoch(const char* value, std::optional<std::int64_t>& seconds,
                         std::string& error) {
  seconds.reset();
  if (value == nullptr || *value == 0) return true;
  std::int64_t n = 0;
  for (const char* p = value; *p; ++p) {
    // at most 18 digits: any date of this era fits, and no overflow is possible
    if (*p < '0' || *p > '9' || p - value >= 18) {
      error = std::string("SOURCE_DATE_EPOCH is \"") + value +
              "\"; it must be seconds since 1970-01-01 UTC, digits only (as `git log -1 "
              "--format=%ct` prints them)";
      return false;
    }
    n = n * 10 + (*p - '0');
  }
  seconds = n;
  return true;
}

namespace {

// What the signal handler stops and removes: fixed slots, since the handler may not allocate.
struct Slot {
  volatile std::sig_atomic_t armed;
  RemoveOnSignal::Kind kind;
  long process;
  char path[4096];
};
constexpr int kSlots = 16;
Slot g_slots[kSlots];
int g_armed_count = 0;  // main thread only
constexpr int kSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
#ifdef SIGBREAK
    SIGBREAK,
#endif
};
using Handler = void (*)(int);
Handler g_previous[std::size(kSignals)];

extern "C" void RemoveAndReraise(int sig) {
  // programs first, so nothing writes into what goes next; then files; then the folders
  for (auto kind : {RemoveOnSignal::Kind::kProcess, RemoveOnSignal::Kind::kFile,
                    RemoveOnSignal::Kind::kFolder}) {
    for (Slot& s : g_slots) {
      if (!s.armed || s.kind != kind) continue;
#ifdef _WIN32
      if (kind == RemoveOnSignal::Kind::kFile) std::remove(s.path);
      if (kind == RemoveOnSignal::Kind::kFolder) _rmdir(s.path);
#else
      if (kind == RemoveOnSignal::Kind::kProcess) {
        ::kill(static_cast<pid_t>(s.process), SIGTERM);
        ::waitpid(static_cast<pid_t>(s.process), nullptr, 0);
      }
      if (kind == RemoveOnSignal::Kind::kFile) ::unlink(s.path);
      if (kind == RemoveOnSignal::Kind::kFolder) ::rmdir(s.path);
#endif
    }
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int Arm(RemoveOnSignal::Kind kind, const std::string& path, long process) {
  if (path.size() >= sizeof g_slots[0].path) return -1;
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = g_slots[i];
    if (s.armed) continue;
    s.kind = kind;
    s.process = process;
    std::memcpy(s.path, path.c_str(), path.size() + 1);
    if (g_armed_count++ == 0) {
      for (std::size_t k = 0; k < std::size(kSignals); ++k) {
        g_previous[k] = std::signal(kSignals[k], RemoveAndReraise);
      }
    }
    s.armed = 1;  // last: the handler sees the slot only once it is complete
    return i;
  }
  return -1;
}

}  // namespace

RemoveOnSignal::RemoveOnSignal(const fs::path& path, Kind kind) {
  std::string text;
  try {
    text = path.string();  // the narrow form is what unlink and remove take
  } catch (const std::exception&) {
    return;
  }
  slot_ = Arm(kind, text, 0);
}

RemoveOnSignal::RemoveOnSignal(long process) {
#ifndef _WIN32
  slot_ = Arm(Kind::kProcess, std::string(), process);
#else
  static_cast<void>(process);
#endif
}

RemoveOnSignal::~RemoveOnSignal() {
  if (slot_ < 0) return;
  g_slots[slot_].armed = 0;
  if (--g_armed_count == 0) {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      std::signal(kSignals[i], g_previous[i] == SIG_ERR ? SIG_DFL : g_previous[i]);
    }
  }
}

}  // namespace kestrel::pack
