#include "pack/sign.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <system_error>
#include <vector>

#include "pack/hostio.h"
#include "pack/pathtext.h"
#include "sysutil/codepage.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace kestrel::pack {
namespace fs = std::filesystem;
namespace {

// A folder of our own for the password and the tool's output, removed with everything in it,
// also when a signal stops the build.
class PrivateFolder {
 public:
  // The path of a file in the folder, which a signal removes too.
  fs::path File(const char* name) {
    const fs::path p = path_ / name;
    on_signal_.push_back(std::make_unique<RemoveOnSignal>(p));
    return p;
  }
  bool Make(std::string& error) {
    std::random_device rd;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
      error = "no folder for temporary files: " + ec.message();
      return false;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
      fs::path p = base / ("kestrel-sign-" + std::to_string(rd() & 0xFFFFFF));
#ifdef _WIN32
      if (fs::create_directory(p, ec)) {
#else
      if (mkdir(p.c_str(), 0700) == 0) {  // only we may read the password in it
#endif
        path_ = p;
        on_signal_.push_back(std::make_unique<RemoveOnSignal>(p, RemoveOnSignal::Kind::kFolder));
        return true;
      }
    }
    error = "cannot make a temporary folder in " + PathToUtf8(base);
    return false;
  }
  ~PrivateFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const {
    return path_;
  }

 private:
  fs::path path_;
  std::vector<std::unique_ptr<RemoveOnSignal>> on_signal_;
};

// Writes the password for the tool: readable by us alone.
bool WritePassword(const fs::path& path, const char* password) {
#ifdef _WIN32
  std::ofstream f(path, std::ios::binary);  // the private folder's owner-only access covers it
  f << password;
  return static_cast<bool>(f.flush());
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::size_t n = std::strlen(password);
  const bool ok = ::write(fd, password, n) == static_cast<ssize_t>(n);
  return ::close(fd) == 0 && ok;
#endif
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last few lines of the tool's output, for the error message.
std::string Tail(const std::string& text) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  std::size_t at = t.size();
  for (int lines = 0; lines < 4 && at != std::string::npos && at > 0; ++lines) {
    at = t.rfind('\n', at - 1);
  }
  return at == std::string::npos ? t : t.substr(at + 1);
}

#ifdef _WIN32
// One argument as CommandLineToArgvW reads it back.
std::wstring Quote(const std::wstring& a) {
  if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
  std::wstring q = L"\"";
  std::size_t slashes = 0;
  for (wchar_t ch : a) {
    if (ch == L'"') {
      q.append(slashes + 1, L'\\');  // the backslashes in front and the quote itself escaped
      slashes = 0;
    } else {
      slashes = ch == L'\\' ? slashes + 1 : 0;
    }
    q += ch;
  }
  q.append(slashes, L'\\');
  return q + L"\"";
}

// Runs the program with its output in `log`; the exit code, or -1 when it could not start.
int Run(const std::vector<std::string>& args, const fs::path& log) {
  std::wstring line;
  for (const auto& a : args) {
    const std::u16string w = Utf8ToUtf16(a);
    line += (line.empty() ? L"" : L" ") + Quote(std::wstring(w.begin(), w.end()));
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  const BOOL started =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (!started) return -1;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
#else
int Run(const std::vector<std::string>& args, const fs::path& log) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // A signal that stops the build stops the tool too, rather than leave it running orphaned.
  // The stop signals wait from before the tool starts until it is known to the handler (the
  // tool itself starts with them as they were): one that came in between found no tool to stop.
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &before);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return -1;
  }
  const RemoveOnSignal stop(static_cast<long>(pid));
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace

std::string CheckSignOptions(const SignOptions& o) {
  const bool pair = !o.cert.empty() || !o.key.empty();
  if (pair && !o.pkcs12.empty()) return "give either --cert and --key or --pkcs12, not both";
  if (!pair && o.pkcs12.empty()) return "signing needs --cert and --key, or --pkcs12";
  if (pair && (o.cert.empty() || o.key.empty())) return "--cert and --key go together";
  if (o.password_file && o.password_env) {
    return "give the password either from a file or from the environment";
  }
  if (o.password_env && !std::getenv(o.password_env->c_str())) {
    return "the environment variable " + *o.password_env + " is not set";
  }
  return {};
}

std::vector<std::string> SignArguments(const SignOptions& o, const std::string& in,
                                       const std::string& out, const std::string& password_path) {
  std::vector<std::string> a = {o.tool, "sign"};
  if (!o.pkcs12.empty()) {
    a.insert(a.end(), {"-pkcs12", PathToUtf8(o.pkcs12)});
  } else {
    a.insert(a.end(), {"-certs", PathToUtf8(o.cert), "-key", PathToUtf8(o.key)});
  }
  if (!password_path.empty()) a.insert(a.end(), {"-readpass", password_path});
  a.insert(a.end(), {"-h", "sha256"});
  if (!o.description.empty()) a.insert(a.end(), {"-n", o.description});
  if (!o.url.empty()) a.insert(a.end(), {"-i", o.url});
  if (!o.timestamp_url.empty()) a.insert(a.end(), {"-ts", o.timestamp_url});
  if (o.signing_time) a.insert(a.end(), {"-time", std::to_string(*o.signing_time)});
  a.insert(a.end(), {"-in", in, "-out", out});
  return a;
}

bool SignFile(const SignOptions& o, const fs::path& in, const fs::path& out, std::string& error) {
  if (std::string problem = CheckSignOptions(o); !problem.empty()) {
    error = problem;
    return false;
  }
  PrivateFolder folder;
  if (!folder.Make(error)) return false;
  std::string password_path;
  if (o.password_file) {
    password_path = PathToUtf8(*o.password_file);
  } else if (o.password_env) {
    const fs::path p = folder.File("password");
    if (!WritePassword(p, std::getenv(o.password_env->c_str()))) {
      error = "cannot write the password for the signing tool";
      return false;
    }
    password_path = PathToUtf8(p);
  }
  std::error_code ec;
  fs::remove(out, ec);  // the tool refuses to replace a file
  const RemoveOnSignal half_signed(out);
  const fs::path log = folder.File("output.txt");
  const int rc = Run(SignArguments(o, PathToUtf8(in), PathToUtf8(out), password_path), log);
  if (rc == -1) {
    error = "cannot run " + o.tool + " (is it installed? Debian: apt-get install osslsigncode)";
    return false;
  }
  if (rc != 0 || !fs::is_regular_file(out, ec)) {
    fs::remove(out, ec);
    error = o.tool + " failed (exit code " + std::to_string(rc) + "): " + Tail(ReadText(log));
    return false;
  }
  return true;
}

}  // namespace kestrel::pack

namespace kestrel::pack {

bool SignBytes(const SignOptions& o, const std::vector<std::uint8_t>& in,
               std::vector<std::uint8_t>& out, std::string& error) {
  PrivateFolder folder;
  if (!folder.Make(error)) return false;
  const fs::path unsigned_path = folder.File("stub.exe");
  const fs::path signed_path = folder.File("stub-signed.exe");
  {
    std::ofstream f(unsigned_path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(in.data()), static_cast<std::streamsize>(in.size()));
    if (!f.flush()) {
      error = "cannot write " + PathToUtf8(unsigned_path);
      return false;
    }
  }
  if (!SignFile(o, unsigned_path, signed_path, error)) return false;
  std::ifstream f(signed_path, std::ios::binary);
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (f.bad() || out.empty()) {
    error = "cannot read the signed stub back";
    return false;
  }
  return true;
}

}  // namespace kestrel::pack
