// kestrel-pack: builds setup executables and lists, verifies and extracts them.
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "pack/manifest.h"
#include "pack/tools.h"
#include "pack/writer.h"

namespace fs = std::filesystem;
using namespace kestrel::pack;

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestrel-pack build MANIFEST [-o OUT] [--stub SETUP.EXE] [--level fast|best]\n"
    "                     [--key-file FILE] [--threads N]\n"
    "  kestrel-pack list SETUP\n"
    "  kestrel-pack verify SETUP [--key-file FILE]\n"
    "  kestrel-pack extract SETUP DIR [--key-file FILE]\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "kestrel-pack: " << problem << "\n";
  std::cerr << kUsage;
  return 2;
}

// Draws a bar on stderr, only when a person is watching it.
class ProgressBar {
 public:
  ProgressBar() : enabled_(isatty(2) != 0) {}
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
    if (enabled_ && last_ >= 0) std::fputs("\r\033[K", stderr);
    last_ = -1;
  }

 private:
  bool enabled_;
  int last_ = -1;
};

bool ReadKey(const std::string& path, std::vector<std::uint8_t>& key) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "kestrel-pack: cannot read key file " << path << "\n";
    return false;
  }
  key.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (key.empty() || key.size() > 56) {
    std::cerr << "kestrel-pack: key file " << path << " holds " << key.size()
              << " bytes; a key is 1 to 56 raw bytes\n";
    return false;
  }
  return true;
}

// The win32 setup program, looked for beside this tool and in the build tree it came from.
std::optional<fs::path> DefaultStub(const char* argv0, std::vector<fs::path>& tried) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) self = fs::absolute(argv0, ec);
  const fs::path dir = self.parent_path();
  for (const fs::path& p :
       {dir / "setup.exe", dir / "../../win32/setup/setup.exe", dir / "../../win32/setup.exe",
        fs::path("build/win32/setup/setup.exe")}) {
    tried.push_back(p.lexically_normal());
    if (fs::is_regular_file(p, ec)) return p.lexically_normal();
  }
  return std::nullopt;
}

int Build(const std::vector<std::string>& args, const char* argv0) {
  std::optional<std::string> manifest_path, output, stub, key_file;
  BuildOptions options;
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
    } else if (a == "--level") {
      if (!(v = value())) return Usage("--level needs fast or best");
      if (*v == "fast") {
        options.level = kestrel::pack::Level::kFast;
      } else if (*v == "best") {
        options.level = kestrel::pack::Level::kBest;
      } else {
        return Usage("unknown level " + *v);
      }
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

  Manifest manifest;
  std::string error;
  if (!LoadManifest(*manifest_path, manifest, error)) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return 1;
  }
  for (const auto& w : manifest.warnings) std::cerr << "kestrel-pack: warning: " << w << "\n";
  if (key_file && !ReadKey(*key_file, options.key)) return 1;
  if (stub) {
    options.stub = *stub;
  } else if (manifest.stub) {
    options.stub = *manifest.stub;
  } else {
    std::vector<fs::path> tried;
    auto found = DefaultStub(argv0, tried);
    if (!found) {
      std::cerr << "kestrel-pack: no setup program to append the package to; give --stub FILE "
                   "(looked for";
      for (const auto& t : tried) std::cerr << " " << t.string();
      std::cerr << ")\n";
      return 1;
    }
    options.stub = *found;
  }
  options.output = output ? fs::path(*output) : fs::path("setup.exe");

  ProgressBar bar;
  options.progress = [&](std::uint64_t done, std::uint64_t total) {
    bar.Show(total ? static_cast<int>(done * 100 / total) : 100);
  };
  BuildResult result;
  const bool ok = BuildPackage(manifest, options, result, error);
  bar.Finish();
  if (!ok) {
    std::cerr << "kestrel-pack: " << error << "\n";
    return 1;
  }
  std::cout << "packed " << result.files << " files, " << result.content_bytes << " bytes into a "
            << result.package_bytes << "-byte package: " << options.output.string() << "\n";
  return 0;
}

int Read(const std::string& command, const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::vector<std::uint8_t> key;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key-file" && command != "list") {
      if (i + 1 >= args.size()) return Usage("--key-file needs a file");
      if (!ReadKey(args[++i], key)) return 1;
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
  if (command == "list") return ListPackage(positional[0], std::cout, std::cerr);
  if (command == "verify") return VerifyPackage(positional[0], key, std::cout, std::cerr);
  ProgressBar bar;
  const int rc = ExtractPackage(positional[0], positional[1], key, std::cout, std::cerr,
                                [&](std::int32_t p) { bar.Show(p * 100 / 90); });
  bar.Finish();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (command == "build") return Build(args, argv[0]);
    if (command == "list" || command == "verify" || command == "extract")
      return Read(command, args);
  } catch (const std::exception& e) {
    std::cerr << "kestrel-pack: " << e.what() << "\n";
    return 1;
  }
  return Usage("unknown command " + command);
}
