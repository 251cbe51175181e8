// kestrel-pack: builds setup executables and lists, verifies and extracts them.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "pack/stubinfo.h"
#include "pack/tools.h"
#include "pack/writer.h"
#ifdef _WIN32
#include "package/pkgfile_win32.h"
#include "sysutil/codepage.h"
#endif

namespace fs = std::filesystem;
using namespace kestrel::pack;

namespace {

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

constexpr const char* kOverview =
    "kestrel-pack " KESTREL_VERSION
    ": makes a Windows setup program from a folder of files and a TOML\n"
    "manifest, and lists, verifies and extracts one.\n"
    "\n"
    "usage: kestrel-pack COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  build MANIFEST [-o OUT] [options]  write a setup program: setup.exe with the package\n"
    "  list SETUP                         print its settings and its files, one a line\n"
    "  verify SETUP                       check its checksum, every block and every file\n"
    "  extract SETUP DIR                  write its files below DIR, as the installer would\n"
    "\n"
    "  kestrel-pack help COMMAND          every option of one command (or: COMMAND --help)\n"
    "  kestrel-pack --version             the version, the setup programs found, the codec\n"
    "\n"
    "exit codes: 0 success, 1 a fault (the message names the file, key or line), 2 wrong usage\n"
    "environment: SOURCE_DATE_EPOCH (seconds since 1970) fixes the build time and the latest\n"
    "  file time stored, so the same inputs give the same bytes\n"
    "manual: README.md and docs/ in the source, installed in /usr/share/doc/kestrel-pack/\n";

constexpr const char* kBuildHelp =
    "usage: kestrel-pack build MANIFEST [options]\n"
    "\n"
    "Packs the files a TOML manifest names into a setup program. It is written under a\n"
    "temporary name and renamed when complete: a failed or interrupted build leaves nothing.\n"
    "\n"
    "  -o, --output FILE      the setup program to write (default: setup.exe); its folder must\n"
    "                         exist, and it may not be one of the inputs\n"
    "  --stub FILE            the setup program to append the package to; default: the\n"
    "                         manifest's stub, else the one --version names as the default\n"
    "  --classic-directory    a 6232-byte directory record per file, readable by every setup\n"
    "                         program (default: the compact directory, for a current stub)\n"
    "  --codec lzma2|classic  lzma2: all files as one solid LZMA2 stream, the smallest setup\n"
    "                         files; classic: every file's blocks on their own, for setup\n"
    "                         programs older than lzma2 (default: the manifest's codec, else\n"
    "                         lzma2, or classic with --classic-directory)\n"
    "  --level fast|best      encoder level (default: best; for lzma2, fast is liblzma's\n"
    "                         preset 6 instead of 9e)\n"
    "  --threads N            encoder threads, 1 to 256 (default: one per core); the output is\n"
    "                         the same for any N\n"
    "  --password-file FILE   protect the files' contents with the password on FILE's first line\n"
    "  --key-file FILE        encipher with the raw key in FILE (1 to 56 bytes), for verify and\n"
    "                         extract only: a setup program cannot install such a package\n"
    "\n"
    "signing, with Authenticode, by running osslsigncode (the stub first, so the uninstaller\n"
    "copy is signed too, then the whole file):\n"
    "  --sign                 sign; needs --cert and --key, or --pkcs12\n"
    "  --cert FILE --key FILE the certificate (PEM or DER, its chain behind it) and its key\n"
    "  --pkcs12 FILE          a .pfx or .p12 file holding certificate, chain and key\n"
    "  --sign-password-file FILE | --sign-password-env VAR\n"
    "                         the key's password: FILE's first line, or variable VAR\n"
    "  --timestamp URL        an RFC 3161 time-stamp server (none when not given)\n"
    "  --sign-description TEXT, --sign-url URL\n"
    "                         what the system's signature dialog shows\n"
    "  --signer PROGRAM       the osslsigncode to run (default: osslsigncode on PATH)\n"
    "\n"
    "With SOURCE_DATE_EPOCH set, the build time is that time and no file time stored is later:\n"
    "two builds of the same inputs are byte-identical (unless protected by a password or key,\n"
    "which draw fresh random values, or signed with a time stamp).\n"
    "\n"
    "example: kestrel-pack build kestrel.toml -o dist/acme-setup.exe\n"
    "manifest keys: docs/manifest.md (installed: /usr/share/doc/kestrel-pack/docs/manifest.md)\n";

constexpr const char* kListHelp =
    "usage: kestrel-pack list SETUP\n"
    "\n"
    "Prints the setup program's settings (product, folders, shortcuts, services, association)\n"
    "and its directory, one file a line. Needs no password: only the contents are protected.\n";

constexpr const char* kVerifyHelp =
    "usage: kestrel-pack verify SETUP [--password-file FILE | --key-file FILE]\n"
    "\n"
    "Checks the package checksum, decodes every block, and compares each file's length and\n"
    "CRC-32 with its directory record; judges every name as the installer would. Prints a FAIL\n"
    "line for each fault and exits with 1 when there is one.\n"
    "  --password-file FILE   the password of a password-protected package\n"
    "  --key-file FILE        the raw key of a package built with --key-file\n";

constexpr const char* kExtractHelp =
    "usage: kestrel-pack extract SETUP DIR [--password-file FILE | --key-file FILE]\n"
    "\n"
    "Runs the installer's file step: writes every file below DIR, in its subfolder. A damaged\n"
    "file is named and removed; the sound ones are kept.\n"
    "  --password-file FILE   the password of a password-protected package\n"
    "  --key-file FILE        the raw key of a package built with --key-file\n";

const char* HelpOf(const std::string& command) {
  if (command == "build") return kBuildHelp;
  if (command == "list") return kListHelp;
  if (command == "verify") return kVerifyHelp;
  if (command == "extract") return kExtractHelp;
  return nullptr;
}

// Wrong use: the problem, the command's usage line (or the commands), and where to read more.
int Usage(const std::string& problem, const std::string& command = "") {
  if (!problem.empty()) std::cerr << "kestrel-pack: " << problem << "\n";
  if (const char* help = HelpOf(command)) {
    const std::string text = help;
    std::cerr << text.substr(0, text.find('\n') + 1) << "(kestrel-pack help " << command
              << " lists every option)\n";
  } else {
    std::cerr << "usage: kestrel-pack build|list|verify|extract ...  (kestrel-pack --help)\n";
  }
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

// The folder this program was started from.
fs::path SelfFolder(const std::string& argv0) {
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
  return self.parent_path();
}

// Where a setup program may stand, in the order the default stub is looked for: beside this
// tool, where the Debian package puts it, in the build tree this tool came from, in the build
// tree below the current folder. `i686` false: the x86_64 build, never taken by default.
std::vector<fs::path> StubPlaces(const std::string& argv0, bool i686) {
  const fs::path dir = SelfFolder(argv0);
  const char* name = i686 ? "setup.exe" : "setup-x86_64.exe";
  std::vector<fs::path> places{dir / name, dir / "../lib/kestrel" / name};
  if (i686) {
    places.insert(places.end(),
                  {dir / "../../win32/setup/setup.exe", dir / "../../win32/setup.exe"});
  } else {
    places.push_back(dir / "../../win64/setup/setup.exe");
  }
#ifndef _WIN32
  // also when /proc is not mounted (a bare chroot) and the tool's own path is unknown
  places.push_back(fs::path("/usr/lib/kestrel") / name);
#endif
  places.push_back(i686 ? fs::path("build/win32/setup/setup.exe")
                        : fs::path("build/win64/setup/setup.exe"));
  for (fs::path& p : places) p = p.lexically_normal();
  return places;
}

std::optional<fs::path> DefaultStub(const std::string& argv0, std::vector<fs::path>& tried) {
  std::error_code ec;
  for (const fs::path& p : StubPlaces(argv0, true)) {
    tried.push_back(p);
    if (fs::is_regular_file(p, ec)) return p;
  }
  return std::nullopt;
}

int Version(const std::string& argv0) {
  std::cout << "kestrel-pack " << KESTREL_VERSION << "\n"
            << "codecs: lzma2 (one solid LZMA2 stream, liblzma"
            << (HaveLzma2Encoder() ? "" : ": not in this build") << "), classic (tsmufflz blocks"
            << " of up to 64 KiB); default "
            << (DefaultCodec() == kestrel::Codec::kLzma2 ? "lzma2" : "classic")
            << "; levels fast and best (default best)\n"
            << "setup programs:\n";
  std::vector<fs::path> tried, seen;
  const std::optional<fs::path> chosen = DefaultStub(argv0, tried);
  std::error_code ec;
  for (const bool i686 : {true, false}) {
    for (const fs::path& p : StubPlaces(argv0, i686)) {
      if (!fs::is_regular_file(p, ec)) continue;
      const fs::path real = fs::weakly_canonical(p, ec);
      if (std::find(seen.begin(), seen.end(), real) != seen.end()) continue;
      seen.push_back(real);
      std::vector<std::uint8_t> bytes;
      std::string error;
      const std::string what =
          ReadInputFile(p, std::uint64_t{64} << 20, "setup program", bytes, error)
              ? StubSummary(DescribeStub(bytes))
              : error;
      std::cout << "  " << PathToUtf8(real) << ": " << what
                << (chosen && fs::weakly_canonical(*chosen, ec) == real ? " (the default stub)"
                                                                        : "")
                << "\n";
    }
  }
  if (seen.empty()) std::cout << "  none found; give --stub FILE to build\n";
  return 0;
}

int Build(const std::vector<std::string>& args, const std::string& argv0) {
  std::optional<std::string> manifest_path, output, stub, key_file, password_file;
  BuildOptions options;
  bool sign = false, sign_options = false, help = false;
  kestrel::pack::SignOptions signing;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    std::optional<std::string> v;
    if (a == "-o" || a == "--output") {
      if (!(output = value())) return Usage(a + " needs a file", "build");
    } else if (a == "--stub") {
      if (!(stub = value())) return Usage("--stub needs a file", "build");
    } else if (a == "--key-file") {
      if (!(key_file = value())) return Usage("--key-file needs a file", "build");
    } else if (a == "--sign") {
      sign = true;
    } else if (a == "--cert" || a == "--key" || a == "--pkcs12" || a == "--sign-password-file" ||
               a == "--sign-password-env" || a == "--timestamp" || a == "--sign-description" ||
               a == "--sign-url" || a == "--signer") {
      if (!(v = value())) return Usage(a + " needs a value", "build");
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
      if (!(password_file = value())) return Usage("--password-file needs a file", "build");
    } else if (a == "--level") {
      if (!(v = value())) return Usage("--level needs fast or best", "build");
      if (*v == "fast") {
        options.level = kestrel::pack::Level::kFast;
      } else if (*v == "best") {
        options.level = kestrel::pack::Level::kBest;
      } else {
        return Usage("unknown level " + *v, "build");
      }
    } else if (a == "-h" || a == "--help") {
      help = true;
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
      if (!(v = value())) return Usage("--threads needs a number", "build");
      try {
        options.threads = static_cast<unsigned>(std::stoul(*v));
      } catch (...) {
        return Usage("--threads needs a number", "build");
      }
      if (options.threads == 0 || options.threads > 256)
        return Usage("--threads takes 1 to 256", "build");
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option " + a, "build");
    } else if (!manifest_path) {
      manifest_path = a;
    } else {
      return Usage("more than one manifest given", "build");
    }
  }
  if (help) {
    std::cout << kBuildHelp;
    return 0;
  }
  if (!manifest_path) return Usage("build needs a manifest", "build");
  if (sign_options && !sign) return Usage("the signing options need --sign", "build");
  if (sign) {
    if (std::string problem = kestrel::pack::CheckSignOptions(signing); !problem.empty())
      return Usage(problem, "build");
    options.sign = signing;
  }
  if (key_file && password_file)
    return Usage("give --password-file or --key-file, not both", "build");

  std::string error;
  if (!ReadSourceDateEpoch(std::getenv("SOURCE_DATE_EPOCH"), options.source_date_epoch, error)) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return 1;
  }
  if (options.sign) options.sign->signing_time = options.source_date_epoch;

  Manifest manifest;
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
  if (!CheckOutputFolder(options.output, error) ||
      !CheckOutputIsNoInput(options.output, inputs, error)) {
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
  std::cout << "packed " << result.files << (result.files == 1 ? " file, " : " files, ")
            << result.content_bytes << " bytes into a " << result.package_bytes
            << "-byte package: " << PathToUtf8(options.output)
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
    if (args[i] == "-h" || args[i] == "--help") {
      std::cout << HelpOf(command);
      return 0;
    }
    if (args[i] == "--key-file" && command != "list") {
      if (!(i + 1 < args.size())) return Usage("--key-file needs a file", command);
      key_file = args[++i];
    } else if (args[i] == "--password-file" && command != "list") {
      if (!(i + 1 < args.size())) return Usage("--password-file needs a file", command);
      password_file = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      return Usage("unknown option " + args[i], command);
    } else {
      positional.push_back(args[i]);
    }
  }
  const std::size_t want = command == "extract" ? 2 : 1;
  if (positional.size() != want) {
    return Usage(command + (want == 2 ? " needs SETUP and DIR" : " needs SETUP"), command);
  }
  if (key_file && password_file)
    return Usage("give --password-file or --key-file, not both", command);
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
  if (command == "-h" || command == "--help" || (command == "help" && args.empty())) {
    std::cout << kOverview;
    return 0;
  }
  if (command == "help") {
    if (const char* help = HelpOf(args[0])) {
      std::cout << help;
      return 0;
    }
    return Usage("no command " + args[0] + "; the commands are build, list, verify, extract");
  }
  if (command == "-V" || command == "--version" || command == "version") return Version(argv0);
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
