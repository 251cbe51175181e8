// kestrel-pack: builds setup executables and lists, verifies and extracts them.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "pack/hostio.h"
#include "pack/manifest.h"
#include "pack/pathtext.h"
#include "pack/tools.h"
#include "pack/writer.h"
#ifdef _WIN32
#include "package/pkgfile_win32.h"
#include "sysutil/codepage.h"
#endif

namespace fs = std::filesystem;
using namespace kestrel::pack;

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestrel-pack build MANIFEST [-o OUT] [--stub SETUP.EXE] [--codec lzma2|classic]\n"
    "                     [--level fast|best]\n"
    "                     [--password-file FILE | --key-file FILE] [--threads N]\n"
    "                     [--classic-directory]\n"
    "                     [--sign (--cert FILE --key FILE | --pkcs12 FILE)\n"
    "                      [--sign-password-file FILE | --sign-password-env VAR]\n"
    "                      [--timestamp URL] [--sign-description TEXT] [--sign-url URL]\n"
    "                      [--signer OSSLSIGNCODE]]\n"
    "  kestrel-pack list SETUP\n"
    "  kestrel-pack verify SETUP [--password-file FILE | --key-file FILE]\n"
    "  kestrel-pack extract SETUP DIR [--password-file FILE | --key-file FILE]\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "kestrel-pack: " << problem << "\n";
  std::cerr << kUsage;
  return 2;
}

#ifdef _WIN32
// A console, not a file or a pipe (_isatty would also take the NUL device for one).
bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}
bool StderrIsTerminal() {
  return IsConsole(STD_ERROR_HANDLE);
}
#else
bool StderrIsTerminal() {
  return isatty(2) != 0;
}
#endif

// Draws a bar on stderr, only when a person is watching it.
class ProgressBar {
 public:
  ProgressBar() : enabled_(StderrIsTerminal()) {}
  ~ProgressBar() { Finish(); }
  void Show(int percent) {
    if (!enabled_ || percent == last_) return;
    last_ = percent;
    const int filled = percent * 40 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(40 - filled), '.').c_str(), percent);
    std::fflush(stderr);
  }
  void Finish() {
#ifdef _WIN32
    // older consoles show escape sequences as text: blank the bar instead
    if (enabled_ && last_ >= 0) std::fprintf(stderr, "\r%47s\r", "");
#else
    if (enabled_ && last_ >= 0) std::fputs("\r\033[K", stderr);
#endif
    last_ = -1;
  }

 private:
  bool enabled_;
  int last_ = -1;
};

bool ReadKey(const std::string& path, std::vector<std::uint8_t>& key) {
  std::string error;
  if (!ReadInputFile(PathFromUtf8(path), kMaxKeyBytes, "key file", key, error)) {
    std::cerr << "kestrel-pack: " << error << "; a key is 1 to 56 raw bytes\n";
    return false;
  }
  if (key.empty() || key.size() > kMaxKeyBytes) {
    std::cerr << "kestrel-pack: key file " << path << " holds " << key.size()
              << " bytes; a key is 1 to 56 raw bytes\n";
    return false;
  }
  return true;
}

bool ReadPassword(const std::string& path, std::optional<std::string>& password) {
  std::string text, error;
  if (!ReadPasswordFile(PathFromUtf8(path), text, error)) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return false;
  }
  password = std::move(text);
  return true;
}

// The win32 setup program, looked for beside this tool and in the build tree it came from.
std::optional<fs::path> DefaultStub(const std::string& argv0, std::vector<fs::path>& tried) {
  std::error_code ec;
#ifdef _WIN32
  std::wstring module(32768, L'\0');  // the longest path Windows knows
  const DWORD n = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
  const fs::path self = n > 0 && n < module.size() ? fs::path(module.substr(0, n))
                                                   : fs::absolute(PathFromUtf8(argv0), ec);
#else
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) self = fs::absolute(argv0, ec);
#endif
  const fs::path dir = self.parent_path();
  for (const fs::path& p :
       {dir / "setup.exe", dir / "../../win32/setup/setup.exe", dir / "../../win32/setup.exe",
        fs::path("build/win32/setup/setup.exe")}) {
    tried.push_back(p.lexically_normal());
    if (fs::is_regular_file(p, ec)) return p.lexically_normal();
  }
  return std::nullopt;
}

int Build(const std::vector<std::string>& args, const std::string& argv0) {
  std::optional<std::string> manifest_path, output, stub, key_file, password_file;
  BuildOptions options;
  bool sign = false, sign_options = false;
  kestrel::pack::SignOptions signing;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    std::optional<std::string> v;
    if (a == "-o" || a == "--output") {
      if (!(output = value())) return Usage(a + " needs a file");
    } else if (a == "--stub") {
      if (!(stub = value())) return Usage("--stub needs a file");
    } else if (a == "--key-file") {
      if (!(key_file = value())) return Usage("--key-file needs a file");
    } else if (a == "--sign") {
      sign = true;
    } else if (a == "--cert" || a == "--key" || a == "--pkcs12" || a == "--sign-password-file" ||
               a == "--sign-password-env" || a == "--timestamp" || a == "--sign-description" ||
               a == "--sign-url" || a == "--signer") {
      if (!(v = value())) return Usage(a + " needs a value");
      sign_options = true;
      if (a == "--cert") signing.cert = PathFromUtf8(*v);
      if (a == "--key") signing.key = PathFromUtf8(*v);
      if (a == "--pkcs12") signing.pkcs12 = PathFromUtf8(*v);
      if (a == "--sign-password-file") signing.password_file = PathFromUtf8(*v);
      if (a == "--sign-password-env") signing.password_env = *v;
      if (a == "--timestamp") signing.timestamp_url = *v;
      if (a == "--sign-description") signing.description = *v;
      if (a == "--sign-url") signing.url = *v;
      if (a == "--signer") signing.tool = *v;
    } else if (a == "--password-file") {
      if (!(password_file = value())) return Usage("--password-file needs a file");
    } else if (a == "--level") {
      if (!(v = value())) return Usage("--level needs fast or best");
      if (*v == "fast") {
        options.level = kestrel::pack::Level::kFast;
      } else if (*v == "best") {
        options.level = kestrel::pack::Level::kBest;
      } else {
        return Usage("unknown level " + *v);
      }
    } else if (a == "--codec") {
      if (!(v = value())) return Usage("--codec needs lzma2 or classic");
      if (*v == "lzma2") {
        options.codec = kestrel::Codec::kLzma2;
      } else if (*v == "classic") {
        options.codec = kestrel::Codec::kClassic;
      } else {
        return Usage("unknown codec " + *v + " (lzma2 or classic)");
      }
    } else if (a == "--classic-directory") {
      options.classic_directory = true;
    } else if (a == "--threads") {
      if (!(v = value())) return Usage("--threads needs a number");
      try {
        options.threads = static_cast<unsigned>(std::stoul(*v));
      } catch (...) {
        return Usage("--threads needs a number");
      }
      if (options.threads == 0 || options.threads > 256) return Usage("--threads 1..256");
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (!manifest_path) {
      manifest_path = a;
    } else {
      return Usage("more than one manifest given");
    }
  }
  if (!manifest_path) return Usage("build needs a manifest");
  if (sign_options && !sign) return Usage("the signing options need --sign");
  if (sign) {
    if (std::string problem = kestrel::pack::CheckSignOptions(signing); !problem.empty())
      return Usage(problem);
    options.sign = signing;
  }
  if (key_file && password_file) return Usage("give --password-file or --key-file, not both");

  Manifest manifest;
  std::string error;
  if (!LoadManifest(PathFromUtf8(*manifest_path), manifest, error)) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return 1;
  }
  for (const auto& w : manifest.warnings) std::cerr << "kestrel-pack: warning: " << w << "\n";
  for (const auto& n : manifest.notes) std::cerr << "kestrel-pack: note: " << n << "\n";
  if (key_file && !ReadKey(*key_file, options.key)) return 1;
  if (password_file && !ReadPassword(*password_file, options.password)) return 1;
  if (stub) {
    options.stub = PathFromUtf8(*stub);
  } else if (manifest.stub) {
    options.stub = *manifest.stub;
  } else {
    std::vector<fs::path> tried;
    auto found = DefaultStub(argv0, tried);
    if (!found) {
      std::cerr << "kestrel-pack: no setup program to append the package to; give --stub FILE "
                   "(looked for";
      for (const auto& t : tried) std::cerr << " " << PathToUtf8(t);
      std::cerr << ")\n";
      return 1;
    }
    options.stub = *found;
  }
  options.output = output ? PathFromUtf8(*output) : fs::path("setup.exe");
  // the inputs only this command reads; the build itself checks the stub, licence and files
  std::vector<fs::path> inputs{PathFromUtf8(*manifest_path)};
  if (key_file) inputs.push_back(PathFromUtf8(*key_file));
  if (!CheckOutputIsNoInput(options.output, inputs, error)) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return 1;
  }

  ProgressBar bar;
  options.progress = [&](std::uint64_t done, std::uint64_t total) {
    bar.Show(total ? static_cast<int>(done * 100 / total) : 100);
  };
  BuildResult result;
  const auto began = std::chrono::steady_clock::now();
  const bool ok = BuildPackage(manifest, options, result, error);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  bar.Finish();
  if (!ok) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return 1;
  }
  char ratio[32] = "";
  if (result.content_bytes) {
    std::snprintf(
        ratio, sizeof ratio, ", %.1f%% of the content",
        100.0 * static_cast<double>(result.data_bytes) / static_cast<double>(result.content_bytes));
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", took.count());
  std::cout << "packed " << result.files << " files, " << result.content_bytes << " bytes into a "
            << result.package_bytes << "-byte package: " << PathToUtf8(options.output)
            << (result.output_signed ? " (signed)" : "") << "\n"
            << "codec " << (result.codec == kestrel::Codec::kLzma2 ? "lzma2 (solid)" : "classic")
            << ": the content stored in " << result.data_bytes << " bytes" << ratio << ", in "
            << seconds << "\n";
  if (result.shared_files) {
    std::cout << result.shared_files << " files (" << result.shared_bytes
              << " bytes) share the stored content of an identical file\n";
  }
  return 0;
}

int Read(const std::string& command, const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  Unlock unlock;
  std::optional<std::string> key_file, password_file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key-file" && command != "list") {
      if (!(i + 1 < args.size())) return Usage("--key-file needs a file");
      key_file = args[++i];
    } else if (args[i] == "--password-file" && command != "list") {
      if (!(i + 1 < args.size())) return Usage("--password-file needs a file");
      password_file = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      return Usage("unknown option " + args[i]);
    } else {
      positional.push_back(args[i]);
    }
  }
  const std::size_t want = command == "extract" ? 2 : 1;
  if (positional.size() != want) {
    return Usage(command + (want == 2 ? " needs SETUP and DIR" : " needs SETUP"));
  }
  if (key_file && password_file) return Usage("give --password-file or --key-file, not both");
  if (key_file && !ReadKey(*key_file, unlock.key)) return 1;
  if (password_file && !ReadPassword(*password_file, unlock.password)) return 1;
  const fs::path setup = PathFromUtf8(positional[0]);
  if (command == "list") return ListPackage(setup, std::cout, std::cerr);
  if (command == "verify") return VerifyPackage(setup, unlock, std::cout, std::cerr);
  ProgressBar bar;
  const int rc = ExtractPackage(setup, PathFromUtf8(positional[1]), unlock, std::cout, std::cerr,
                                [&](std::int32_t p) { bar.Show(p * 100 / 90); });
  bar.Finish();
  return rc;
}

// `args` are UTF-8 on every host; [0] is the program as it was started.
int Run(std::vector<std::string> args) {
  const std::string argv0 = args.empty() ? std::string() : args[0];
  if (!args.empty()) args.erase(args.begin());
  if (args.empty()) return Usage("");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (command == "build") return Build(args, argv0);
    if (command == "list" || command == "verify" || command == "extract")
      return Read(command, args);
  } catch (const std::exception& e) {
    std::cerr << "kestrel-pack: " << e.what() << "\n";
    return 1;
  }
  return Usage("unknown command " + command);
}

#ifdef _WIN32
// The console shows our UTF-8 text as such while we run; its own code page comes back after.
class ConsoleUtf8 {
 public:
  ConsoleUtf8() {
    if (IsConsole(STD_OUTPUT_HANDLE) || IsConsole(STD_ERROR_HANDLE)) {
      previous_ = GetConsoleOutputCP();
      SetConsoleOutputCP(CP_UTF8);
    }
  }
  ~ConsoleUtf8() {
    if (previous_ == 0) return;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    SetConsoleOutputCP(previous_);
  }
  ConsoleUtf8(const ConsoleUtf8&) = delete;
  ConsoleUtf8& operator=(const ConsoleUtf8&) = delete;

 private:
  UINT previous_ = 0;
};
#endif

}  // namespace

#ifdef _WIN32
// UTF-16 arguments, so file names outside the ANSI code page arrive whole.
int wmain(int argc, wchar_t** argv) {
  kestrel::BindFileFunctions64();
  ConsoleUtf8 console;
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(kestrel::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  return Run(std::move(args));
}
#else
int main(int argc, char** argv) {
  return Run(std::vector<std::string>(argv, argv + argc));
}
#endif
