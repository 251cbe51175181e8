// The start-up package check on its own: reads a setup file's package once and verifies its
// checksum, as setup does before the first page. Prints the time and the throughput.
//   kestrel_check_bench SETUP.EXE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "package/certtable.h"
#include "package/integrity.h"
#include "package/pkgfile.h"
#include "sysutil/codepage.h"
#ifdef _WIN32
#include "package/pkgfile_win32.h"
#endif

int main(int argc, char** argv) {
  using namespace kestrel;
  if (argc < 2) {
    std::fprintf(stderr, "usage: kestrel_check_bench SETUP.EXE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
#ifdef _WIN32
  BindFileFunctions64();
#endif
  auto fs = MakeHostFileSystem();
  auto file = fs->NewFile();
  if (!file->OpenRead(Utf8ToUtf16(argv[1]))) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const PackageExtent extent = FindPackageEnd(*file);
  const std::int64_t recordpos = extent.end - static_cast<std::int64_t>(kConfigRecordSize);
  ConfigRecord config;
  std::uint32_t n = kConfigRecordSize;
  if (file->ReadAt(&config, n, recordpos) != kConfigRecordSize || !HasSetupMarker(config)) {
    std::fprintf(stderr, "no package in %s\n", argv[1]);
    return 1;
  }
  const double mb = static_cast<double>(recordpos - config.packageoffset) / 1048576.0;
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const PackageCheck c = CheckPackage(*file, config, recordpos);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
    std::printf("run %d: %.3f s (%s)\n", i + 1, s,
                c == PackageCheck::kOk        ? "ok"
                : c == PackageCheck::kDamaged ? "damaged"
                                              : "none");
  }
  std::printf("package %.1f MB: best %.3f s, %.0f MB/s (file in the page cache)\n", mb, best,
              mb / best);
  return 0;
}
