// Packing ratio and speed of our encoder, and single-thread decoding speed of our block decoder,
// side by side with raw Deflate in fixed-code blocks (zlib, libdeflate, zopfli), gzip -9 and the
// zopfli program.
//
// Usage: kestrel_bench CORPUS_DIR [--zopfli-mb=N] [--zopfli-cli=0|1] [--min-seconds=S]
//                     [--rounds=N] [--pack-only] [--decode-only]
// Decoding runs every decoder once per round for a quarter of S, in an order that turns each
// round (default 9 rounds), and reports medians. --decode-only packs what the decoders need and
// prints only the decoding table (no gzip, no zopfli, no size table).
// CORPUS_DIR holds one folder per kind of content (pe, text, images); every file in it is cut
// into 64 KiB chunks, as the packer cuts them. The zopfli rows run on a sample of about N MB
// (default 3; 0 skips them): every k-th chunk of each kind, the same chunks for every method.

#include <libdeflate.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/tsmufflz.h"
#include "pack/encoder.h"

#ifdef KESTREL_BENCH_ZOPFLI
#include <zopfli/deflate.h>
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// CPU time of this thread: the machine is shared, so wall time would count other people's work.
struct CpuClock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};
using Clock = CpuClock;

// CPU time of finished child processes (gzip, zopfli).
double ChildSeconds() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

constexpr std::size_t kChunk = 65536;
constexpr double kMB = 1e6;  // speeds in MB/s are 10^6 bytes per second

struct File {
  std::string path;
  int kind;
  Bytes data;
};

struct Chunk {
  int kind;
  const std::uint8_t* data;
  std::size_t size;
};

struct Corpus {
  std::vector<std::string> kinds;
  std::vector<File> files;
  std::vector<Chunk> chunks;
  std::vector<std::uint64_t> raw;  // bytes per kind
  std::uint64_t total = 0;
};

double Seconds(Clock::time_point since) {
  return Clock::now() - since;
}

Corpus LoadCorpus(const fs::path& root) {
  Corpus c;
  std::vector<fs::path> dirs;
  for (const auto& e : fs::directory_iterator(root)) {
    if (e.is_directory()) dirs.push_back(e.path());
  }
  std::sort(dirs.begin(), dirs.end());
  for (const auto& dir : dirs) {
    const int kind = static_cast<int>(c.kinds.size());
    c.kinds.push_back(dir.filename().string());
    c.raw.push_back(0);
    std::vector<fs::path> paths;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      if (e.is_regular_file()) paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const auto& p : paths) {
      std::ifstream in(p, std::ios::binary);
      Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (data.empty()) continue;
      c.raw[kind] += data.size();
      c.total += data.size();
      c.files.push_back({p.string(), kind, std::move(data)});
    }
  }
  for (const auto& f : c.files) {
    for (std::size_t at = 0; at < f.data.size(); at += kChunk) {
      c.chunks.push_back({f.kind, f.data.data() + at, std::min(kChunk, f.data.size() - at)});
    }
  }
  return c;
}

// Compressed size per chunk for one method, with the time it took.
struct SizeResult {
  std::string name;
  std::vector<std::uint64_t> per_chunk;
  double seconds = 0;
};

std::uint64_t SumKind(const Corpus& c, const std::vector<std::uint64_t>& per_chunk, int kind) {
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    if (kind < 0 || c.chunks[i].kind == kind) s += per_chunk[i];
  }
  return s;
}

// ---- our encoder ----

struct OurPack {
  SizeResult sizes;
  std::vector<std::vector<kestrel::pack::EncodedBlock>> blocks;  // per chunk
  std::uint64_t coded_blocks = 0, stored_blocks = 0, header_bytes = 0;
};

OurPack PackOurs(const Corpus& c, kestrel::pack::Level level, const char* name) {
  OurPack r;
  r.sizes.name = name;
  r.blocks.resize(c.chunks.size());
  kestrel::pack::Encoder enc(level);
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    enc.EncodeChunk({c.chunks[i].data, c.chunks[i].size}, r.blocks[i]);
  }
  r.sizes.seconds = Seconds(t0);
  for (const auto& bs : r.blocks) {
    std::uint64_t bytes = 0;
    for (const auto& b : bs) {
      bytes += b.payload.size();
      (b.coded ? r.coded_blocks : r.stored_blocks) += 1;
      r.header_bytes += 12;
    }
    r.sizes.per_chunk.push_back(bytes);
  }
  return r;
}

// ---- zlib, raw Deflate, fixed-code blocks, level 9 ----

std::vector<Bytes> PackZlibFixed(const Corpus& c, SizeResult& r) {
  r.name = "zlib -9 Z_FIXED raw, per chunk";
  std::vector<Bytes> out(c.chunks.size());
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_FIXED) != Z_OK)
    throw std::runtime_error("deflateInit2");
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    deflateReset(&z);
    out[i].resize(deflateBound(&z, c.chunks[i].size));
    z.next_in = const_cast<Bytef*>(c.chunks[i].data);
    z.avail_in = static_cast<uInt>(c.chunks[i].size);
    z.next_out = out[i].data();
    z.avail_out = static_cast<uInt>(out[i].size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out[i].resize(out[i].size() - z.avail_out);
  }
  r.seconds = Seconds(t0);
  deflateEnd(&z);
  for (const auto& b : out) r.per_chunk.push_back(b.size());
  return out;
}

// ---- external programs ----

// Runs a shell command and counts the bytes it writes; -1 when it fails.
long long CountOutput(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[1 << 16];
  long long n = 0;
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) n += static_cast<long long>(got);
  return pclose(p) == 0 ? n : -1;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

bool HaveProgram(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// ---- the sample for the slow references ----

// Every k-th chunk of each kind, k = corpus / sample: each chunk has the same chance whatever its
// size, so each kind keeps about its share of the bytes and small files are not passed over.
std::vector<std::size_t> PickSample(const Corpus& c, double mb) {
  const double rate = std::min(1.0, mb * kMB / static_cast<double>(c.total));
  std::vector<double> step(c.kinds.size(), 0.5);  // half a period in: picks sit mid-period
  std::vector<std::size_t> picked;
  for (std::size_t i = 0; i < c.chunks.size(); ++i) {
    double& at = step[static_cast<std::size_t>(c.chunks[i].kind)];
    const double before = std::floor(at);
    at += rate;
    if (std::floor(at) != before) picked.push_back(i);
  }
  return picked;
}

// Size of a chunk as raw Deflate stored blocks: a byte-aligned 3-bit header, LEN and NLEN, i.e.
// 5 bytes per block of at most 65535 bytes (so a full 64 KiB chunk takes two, 10 bytes).
std::uint64_t StoredDeflateSize(std::size_t len) {
  const std::size_t blocks = std::max<std::size_t>(1, (len + 65534) / 65535);
  return len + 5 * blocks;
}

// Runs `pass` (one go over `bytes` input bytes) until `min_seconds` of CPU time have gone by and
// returns MB/s.
double Throughput(std::uint64_t bytes, double min_seconds, const std::function<void()>& pass) {
  pass();  // warm-up
  int passes = 0;
  const auto t0 = Clock::now();
  double elapsed = 0;
  do {
    pass();
    ++passes;
    elapsed = Seconds(t0);
  } while (elapsed < min_seconds);
  return static_cast<double>(bytes) * passes / kMB / elapsed;
}

#ifdef KESTREL_BENCH_ZOPFLI
// One chunk as raw Deflate by zopfli's optimal parse, forced to a fixed-code block (btype 1).
Bytes ZopfliFixed(const std::uint8_t* data, std::size_t size) {
  ZopfliOptions options;
  ZopfliInitOptions(&options);
  unsigned char bit = 0;
  unsigned char* out = nullptr;
  std::size_t out_size = 0;
  ZopfliDeflate(&options, 1, 1, data, size, &bit, &out, &out_size);
  Bytes r(out, out + out_size);
  std::free(out);
  return r;
}
#endif

// Raw inflate of `packed` must give back the chunk exactly; `fixed_first` also wants the first
// block to be a final fixed-code one (so a library ignoring the forced type would show).
bool InflatesTo(z_stream& z, const Bytes& packed, const Chunk& chunk, bool fixed_first,
                Bytes& scratch) {
  if (fixed_first && (packed.empty() || (packed[0] & 7) != 3)) return false;
  inflateReset(&z);
  scratch.resize(kChunk + 1);
  z.next_in = const_cast<Bytef*>(packed.data());
  z.avail_in = static_cast<uInt>(packed.size());
  z.next_out = scratch.data();
  z.avail_out = static_cast<uInt>(scratch.size());
  if (inflate(&z, Z_FINISH) != Z_STREAM_END) return false;
  const std::size_t n = scratch.size() - z.avail_out;
  return n == chunk.size && std::memcmp(scratch.data(), chunk.data, n) == 0;
}

// ---- decoding ----

// One decoder under test: `pass` decodes every chunk once and returns the bytes produced.
struct Decoder {
  Decoder(std::string n, std::function<std::uint64_t()> p)
      : name(std::move(n)), pass(std::move(p)) {}
  std::string name;
  std::function<std::uint64_t()> pass;
  std::uint64_t bytes = 0;   // output bytes per pass
  std::vector<double> mbps;  // one figure per round
};

// Repeats `pass` until at least `seconds` have gone by; MB/s of output.
double TimeSlice(const std::function<std::uint64_t()>& pass, double seconds) {
  std::uint64_t total = 0;
  const auto t0 = Clock::now();
  double elapsed = 0;
  do {
    total += pass();
    elapsed = Seconds(t0);
  } while (elapsed < seconds);
  return static_cast<double>(total) / kMB / elapsed;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Every decoder runs once per round, the order turning from round to round, so a change in the
// machine's load falls on all of them alike; medians of the rounds are reported.
void RunInterleaved(std::vector<Decoder>& decoders, int rounds, double slice) {
  for (auto& d : decoders) d.bytes = d.pass();  // warm-up, also checks the output
  const std::size_t n = decoders.size();
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < n; ++k) {
      Decoder& d = decoders[(k + static_cast<std::size_t>(round)) % n];
      d.mbps.push_back(TimeSlice(d.pass, slice));
    }
  }
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "kestrel_bench: %s\n", what.c_str());
  std::exit(1);
}

void PrintRatioRow(const Corpus& c, const std::string& name,
                   const std::vector<std::uint64_t>& sizes, double seconds) {
  std::printf("  %-38s", name.c_str());
  for (int k = 0; k < static_cast<int>(c.kinds.size()); ++k) {
    std::printf(" %8.2f%%",
                100.0 * static_cast<double>(SumKind(c, sizes, k)) / static_cast<double>(c.raw[k]));
  }
  std::printf(" %8.2f%%",
              100.0 * static_cast<double>(SumKind(c, sizes, -1)) / static_cast<double>(c.total));
  if (seconds > 0) std::printf(" %9.1f", static_cast<double>(c.total) / kMB / seconds);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Fail(
        "usage: kestrel_bench CORPUS_DIR [--zopfli-mb=N] [--zopfli-cli=0|1] [--min-seconds=S] "
        "[--rounds=N] [--pack-only] [--decode-only]");
  }
  double zopfli_mb = 3.0;
  bool zopfli_cli = true;
  double min_seconds = 1.0;
  int rounds = 9;
  bool pack_only = false;
  bool decode_only = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--zopfli-mb=", 0) == 0)
      zopfli_mb = std::atof(a.c_str() + 12);
    else if (a.rfind("--zopfli-cli=", 0) == 0)
      zopfli_cli = std::atoi(a.c_str() + 13) != 0;
    else if (a.rfind("--min-seconds=", 0) == 0)
      min_seconds = std::atof(a.c_str() + 14);
    else if (a.rfind("--rounds=", 0) == 0)
      rounds = std::max(1, std::atoi(a.c_str() + 9));
    else if (a == "--pack-only")
      pack_only = true;
    else if (a == "--decode-only")
      decode_only = true;
    else
      Fail("unknown option " + a);
  }

  const Corpus c = LoadCorpus(argv[1]);
  if (c.chunks.empty()) Fail("empty corpus");
  std::printf("Corpus %s: %zu files, %.1f MB in %zu chunks of at most 64 KiB\n", argv[1],
              c.files.size(), static_cast<double>(c.total) / kMB, c.chunks.size());
  for (std::size_t k = 0; k < c.kinds.size(); ++k) {
    std::printf("  %-8s %6.1f MB\n", c.kinds[k].c_str(), static_cast<double>(c.raw[k]) / kMB);
  }

  // ---- packing ----
  std::fflush(stdout);
  const OurPack fast = PackOurs(c, kestrel::pack::Level::kFast, "kestrel fast");
  const OurPack best = PackOurs(c, kestrel::pack::Level::kBest, "kestrel best");
  if (pack_only) {
    for (const OurPack* p : {&fast, &best}) {
      std::printf("  %-14s %8.3f%%  %6.1f MB/s\n", p->sizes.name.c_str(),
                  100.0 * static_cast<double>(SumKind(c, p->sizes.per_chunk, -1)) /
                      static_cast<double>(c.total),
                  static_cast<double>(c.total) / kMB / p->sizes.seconds);
    }
    return 0;
  }
  SizeResult zlib_sizes;
  const std::vector<Bytes> zlib_fixed = PackZlibFixed(c, zlib_sizes);

  // gzip -9 of every whole file (a stream format with its own header; not chunked)
  std::vector<std::uint64_t> gzip_per_file(c.files.size(), 0);
  double gzip_seconds = 0;
  const bool have_gzip = !decode_only && HaveProgram("gzip");
  if (have_gzip) {
    const double t0 = ChildSeconds();
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      const long long n = CountOutput("gzip -9 -n -c " + Quote(c.files[i].path));
      if (n < 0) Fail("gzip failed on " + c.files[i].path);
      gzip_per_file[i] = static_cast<std::uint64_t>(n);
    }
    gzip_seconds = ChildSeconds() - t0;
  }

  if (!decode_only) {
    std::printf("\nPacked size, %% of raw (lower is better); packing speed in MB/s of input\n");
    std::printf(
        "  speeds here and below are per core: bytes / CPU seconds of the one working thread\n");
    std::printf(
        "  ours: block payloads (stream padded to 8-byte units), 12-byte block headers not "
        "counted\n");
    std::printf("  %-38s", "method");
    for (const auto& k : c.kinds) std::printf(" %9s", k.c_str());
    std::printf(" %9s %9s\n", "total", "MB/s");
    PrintRatioRow(c, fast.sizes.name, fast.sizes.per_chunk, fast.sizes.seconds);
    PrintRatioRow(c, best.sizes.name, best.sizes.per_chunk, best.sizes.seconds);
    PrintRatioRow(c, zlib_sizes.name, zlib_sizes.per_chunk, zlib_sizes.seconds);
    if (have_gzip) {
      // per-file sizes folded into the chunk table: charge each file's size to its first chunk
      std::vector<std::uint64_t> as_chunks(c.chunks.size(), 0);
      std::size_t ci = 0;
      for (std::size_t i = 0; i < c.files.size(); ++i) {
        as_chunks[ci] = gzip_per_file[i];
        ci += (c.files[i].data.size() + kChunk - 1) / kChunk;
      }
      PrintRatioRow(c, "gzip -9 -n, whole files", as_chunks, gzip_seconds);
    } else {
      std::printf("  gzip: not installed\n");
    }
    std::printf(
        "  blocks: fast %llu coded + %llu stored, best %llu coded + %llu stored; headers add "
        "%.2f%%\n",
        static_cast<unsigned long long>(fast.coded_blocks),
        static_cast<unsigned long long>(fast.stored_blocks),
        static_cast<unsigned long long>(best.coded_blocks),
        static_cast<unsigned long long>(best.stored_blocks),
        100.0 * static_cast<double>(best.header_bytes) / static_cast<double>(c.total));
  }

  // ---- zopfli: fixed-code blocks in-process, and the program (dynamic codes), on a sample ----
  if (zopfli_mb > 0 && !decode_only) {
    const std::vector<std::size_t> picked = PickSample(c, zopfli_mb);
    const std::size_t nk = c.kinds.size();
    std::vector<std::uint64_t> kraw(nk, 0);
    std::uint64_t raw = 0;
    for (std::size_t i : picked) {
      kraw[static_cast<std::size_t>(c.chunks[i].kind)] += c.chunks[i].size;
      raw += c.chunks[i].size;
    }
    std::printf("\nSample for zopfli: %zu of %zu chunks (every k-th chunk of each kind), %.2f MB\n",
                picked.size(), c.chunks.size(), static_cast<double>(raw) / kMB);
    std::printf("  share of bytes, sample / corpus:");
    for (std::size_t k = 0; k < nk; ++k) {
      std::printf(" %s %.1f%% / %.1f%%", c.kinds[k].c_str(),
                  100.0 * static_cast<double>(kraw[k]) / static_cast<double>(raw),
                  100.0 * static_cast<double>(c.raw[k]) / static_cast<double>(c.total));
    }
    std::printf("\n");

    struct Row {
      std::string name;
      std::vector<std::uint64_t> per_kind;
      double mbps = 0;  // 0: not timed
    };
    auto row = [&](const std::string& name, const std::function<std::uint64_t(std::size_t)>& size) {
      Row r{name, std::vector<std::uint64_t>(nk, 0)};
      for (std::size_t i : picked)
        r.per_kind[static_cast<std::size_t>(c.chunks[i].kind)] += size(i);
      return r;
    };
    auto total_of = [](const Row& r) {
      std::uint64_t t = 0;
      for (auto v : r.per_kind) t += v;
      return t;
    };
    std::vector<Row> rows;

    // ours and zlib: sizes from the full run above, speeds timed again on the sample alone
    std::vector<kestrel::pack::EncodedBlock> scratch_blocks;
    auto ours_speed = [&](kestrel::pack::Level level) {
      kestrel::pack::Encoder enc(level);
      return Throughput(raw, min_seconds, [&] {
        for (std::size_t i : picked) {
          scratch_blocks.clear();
          enc.EncodeChunk({c.chunks[i].data, c.chunks[i].size}, scratch_blocks);
        }
      });
    };
    rows.push_back(row("kestrel fast (payloads, 8-byte padded)",
                       [&](std::size_t i) { return fast.sizes.per_chunk[i]; }));
    rows.back().mbps = ours_speed(kestrel::pack::Level::kFast);
    rows.push_back(row("kestrel best (payloads, 8-byte padded)",
                       [&](std::size_t i) { return best.sizes.per_chunk[i]; }));
    rows.back().mbps = ours_speed(kestrel::pack::Level::kBest);
    const std::size_t best_row = rows.size() - 1;
    rows.push_back(row("kestrel best (exact bits, whole bytes)", [&](std::size_t i) {
      std::uint64_t n = 0;
      for (const auto& b : best.blocks[i]) n += (b.bitcount + 7) / 8;
      return n;
    }));
    std::uint64_t best_stored = 0;
    for (std::size_t i : picked) {
      for (const auto& b : best.blocks[i]) best_stored += b.coded ? 0 : 1;
    }

    rows.push_back(row("zlib -9 Z_FIXED raw (stored where smaller)",
                       [&](std::size_t i) { return zlib_sizes.per_chunk[i]; }));
    {
      z_stream z{};
      if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_FIXED) != Z_OK) Fail("deflateInit2");
      Bytes buf(deflateBound(&z, kChunk));
      rows.back().mbps = Throughput(raw, min_seconds, [&] {
        for (std::size_t i : picked) {
          deflateReset(&z);
          z.next_in = const_cast<Bytef*>(c.chunks[i].data);
          z.avail_in = static_cast<uInt>(c.chunks[i].size);
          z.next_out = buf.data();
          z.avail_out = static_cast<uInt>(buf.size());
          if (deflate(&z, Z_FINISH) != Z_STREAM_END) Fail("deflate");
        }
      });
      deflateEnd(&z);
    }

    std::size_t zopfli_row = 0;
    std::uint64_t zopfli_stored = 0;
#ifdef KESTREL_BENCH_ZOPFLI
    {
      std::printf("  running zopfli fixed blocks on the sample...\n");
      std::fflush(stdout);
      std::vector<std::uint64_t> fixed(c.chunks.size(), 0);
      double seconds = 0;
      z_stream z{};
      if (inflateInit2(&z, -15) != Z_OK) Fail("inflateInit2");
      Bytes check;
      for (std::size_t i : picked) {
        const auto t0 = Clock::now();
        const Bytes packed = ZopfliFixed(c.chunks[i].data, c.chunks[i].size);
        seconds += Seconds(t0);
        if (!InflatesTo(z, packed, c.chunks[i], true, check)) {
          Fail("zopfli output is not one fixed-code block inflating to chunk " + std::to_string(i));
        }
        const std::uint64_t stored = StoredDeflateSize(c.chunks[i].size);
        fixed[i] = std::min<std::uint64_t>(packed.size(), stored);
        zopfli_stored += packed.size() > stored ? 1 : 0;
      }
      inflateEnd(&z);
      rows.push_back(row("zopfli fixed blocks (stored where smaller)",
                         [&](std::size_t i) { return fixed[i]; }));
      rows.back().mbps = static_cast<double>(raw) / kMB / seconds;
      zopfli_row = rows.size() - 1;
    }
#endif

    if (zopfli_cli && HaveProgram("zopfli")) {
      std::printf("  running the zopfli program (dynamic codes) on the sample...\n");
      std::fflush(stdout);
      char tmpl[] = "/tmp/kestrel-bench-XXXXXX";
      const int fd = mkstemp(tmpl);
      if (fd < 0) Fail("mkstemp");
      close(fd);
      std::vector<std::uint64_t> dyn(c.chunks.size(), 0);
      double seconds = 0;
      for (std::size_t i : picked) {
        {
          std::ofstream f(tmpl, std::ios::binary | std::ios::trunc);
          f.write(reinterpret_cast<const char*>(c.chunks[i].data),
                  static_cast<std::streamsize>(c.chunks[i].size));
        }
        const double t0 = ChildSeconds();
        const long long n = CountOutput(std::string("zopfli --deflate -c ") + tmpl);
        seconds += ChildSeconds() - t0;
        if (n < 0) Fail("zopfli failed");
        dyn[i] = static_cast<std::uint64_t>(n);
      }
      std::remove(tmpl);
      rows.push_back(row("zopfli --deflate (dynamic codes, not comparable)",
                         [&](std::size_t i) { return dyn[i]; }));
      rows.back().mbps = static_cast<double>(raw) / kMB / seconds;
    }

    std::printf(
        "  %% of the sample's raw bytes, per kind and in total; MB/s per core on the sample\n");
    std::printf("  %-50s", "method");
    for (const auto& k : c.kinds) std::printf(" %9s", k.c_str());
    std::printf(" %9s %9s\n", "total", "MB/s");
    for (const Row& r : rows) {
      std::printf("  %-50s", r.name.c_str());
      for (std::size_t k = 0; k < nk; ++k) {
        std::printf(" %8.2f%%", kraw[k] ? 100.0 * static_cast<double>(r.per_kind[k]) /
                                              static_cast<double>(kraw[k])
                                        : 0.0);
      }
      std::printf(" %8.2f%%", 100.0 * static_cast<double>(total_of(r)) / static_cast<double>(raw));
      if (r.mbps > 0) std::printf(" %9.2f", r.mbps);
      std::printf("\n");
    }
    std::printf(
        "  counting: kestrel = block payloads as the package stores them (stream zero-filled to\n"
        "    8-byte units; the 12-byte block headers not counted); the exact-bits row drops that\n"
        "    filler. Deflate rows = raw Deflate bytes, final byte partly filled. zopfli fixed =\n"
        "    min(its one fixed-code block, the chunk as stored blocks: length + 5 bytes per 65535\n"
        "    bytes, so a full 64 KiB chunk pays 10); zlib Z_FIXED picks stored by itself.\n");
    std::printf(
        "  stored chunks in the sample: kestrel best %llu blocks, zopfli fixed %llu chunks\n",
        static_cast<unsigned long long>(best_stored),
        static_cast<unsigned long long>(zopfli_stored));
    if (zopfli_row != 0) {
      const Row& b = rows[best_row];
      const Row& z = rows[zopfli_row];
      const double bs = static_cast<double>(total_of(b)), zs = static_cast<double>(total_of(z));
      const double speedup = b.mbps / z.mbps;
      std::printf(
          "  kestrel best vs zopfli fixed: size %.3f%% vs %.3f%% of raw (%+.2f%% relative), "
          "speed %.2f vs %.2f MB/s (%.1fx)\n",
          100.0 * bs / static_cast<double>(raw), 100.0 * zs / static_cast<double>(raw),
          100.0 * (bs - zs) / zs, b.mbps, z.mbps, speedup);
      std::printf("  target (best no larger, at least 5x faster): size %s, speed %s\n",
                  bs <= zs ? "met" : "NOT met", speedup >= 5.0 ? "met" : "NOT met");
    } else {
      std::printf(
          "  zopfli fixed blocks: built without libzopfli (scripts/bootstrap installs it)\n");
    }
  }

  // ---- decoding ----
  std::printf("\nDecoding, one thread, MB/s of output (each decoder's first pass is verified)\n");
  std::fflush(stdout);
  std::vector<std::uint8_t> out(kChunk + 1);
  std::vector<Decoder> decoders;

  auto ours_pass = [&](const OurPack& p, bool coded_only, bool verify) -> std::uint64_t {
    std::uint64_t produced = 0;
    for (std::size_t i = 0; i < p.blocks.size(); ++i) {
      std::size_t at = 0;
      for (const auto& b : p.blocks[i]) {
        std::uint32_t n;
        if (b.coded) {
          n = b.bitcount;
          kestrel::tsmufflz::DecodeBlock(b.payload.data(), out.data(), n);
        } else {
          if (coded_only) {
            at += b.payload.size();
            continue;
          }
          n = static_cast<std::uint32_t>(b.payload.size());
          std::memcpy(out.data(), b.payload.data(),
                      n);  // the reader writes stored payloads as they are
        }
        if (verify &&
            (at + n > c.chunks[i].size || std::memcmp(out.data(), c.chunks[i].data + at, n) != 0)) {
          Fail("our decoder's output differs at chunk " + std::to_string(i));
        }
        at += n;
        produced += n;
      }
    }
    return produced;
  };
  for (const OurPack* p : {&best, &fast}) {
    const std::string level = p == &best ? "best" : "fast";
    decoders.push_back({"kestrel DecodeBlock, " + level + " blocks (stored: memcpy)",
                        [&ours_pass, p, verify = true]() mutable {
                          const std::uint64_t n = ours_pass(*p, false, verify);
                          verify = false;
                          return n;
                        }});
    decoders.push_back({"kestrel DecodeBlock, " + level + " coded blocks only",
                        [&ours_pass, p] { return ours_pass(*p, true, false); }});
  }

  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) Fail("inflateInit2");
  bool zfirst = true;
  decoders.push_back({"zlib inflate (raw), zlib Z_FIXED chunks", [&] {
                        std::uint64_t produced = 0;
                        for (std::size_t i = 0; i < zlib_fixed.size(); ++i) {
                          inflateReset(&z);
                          z.next_in = const_cast<Bytef*>(zlib_fixed[i].data());
                          z.avail_in = static_cast<uInt>(zlib_fixed[i].size());
                          z.next_out = out.data();
                          z.avail_out = static_cast<uInt>(kChunk);
                          if (inflate(&z, Z_FINISH) != Z_STREAM_END) Fail("inflate");
                          const std::size_t n = kChunk - z.avail_out;
                          if (zfirst && (n != c.chunks[i].size ||
                                         std::memcmp(out.data(), c.chunks[i].data, n) != 0)) {
                            Fail("zlib output differs");
                          }
                          produced += n;
                        }
                        zfirst = false;
                        return produced;
                      }});

  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  if (!ld) Fail("libdeflate_alloc_decompressor");
  bool ldfirst = true;
  const std::size_t libdeflate_row = decoders.size();
  decoders.push_back(
      {"libdeflate, zlib Z_FIXED chunks", [&] {
         std::uint64_t produced = 0;
         for (std::size_t i = 0; i < zlib_fixed.size(); ++i) {
           std::size_t n = 0;
           if (libdeflate_deflate_decompress(ld, zlib_fixed[i].data(), zlib_fixed[i].size(),
                                             out.data(), kChunk, &n) != LIBDEFLATE_SUCCESS) {
             Fail("libdeflate_deflate_decompress");
           }
           if (ldfirst &&
               (n != c.chunks[i].size || std::memcmp(out.data(), c.chunks[i].data, n) != 0)) {
             Fail("libdeflate output differs");
           }
           produced += n;
         }
         ldfirst = false;
         return produced;
       }});

  RunInterleaved(decoders, rounds, min_seconds / 4);
  inflateEnd(&z);
  libdeflate_free_decompressor(ld);

  std::printf(
      "  %d interleaved rounds of %.2f s each; median (min-max) MB/s, and the median of\n"
      "  the per-round ratios to libdeflate in the same round\n",
      rounds, min_seconds / 4);
  const Decoder& ref = decoders[libdeflate_row];
  for (const auto& d : decoders) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < d.mbps.size(); ++r) ratios.push_back(d.mbps[r] / ref.mbps[r]);
    std::printf("  %-56s %8.1f MB/s (%6.1f-%6.1f)  %5.2fx libdeflate  (%.1f MB per pass)\n",
                d.name.c_str(), Median(d.mbps), *std::min_element(d.mbps.begin(), d.mbps.end()),
                *std::max_element(d.mbps.begin(), d.mbps.end()), Median(ratios),
                static_cast<double>(d.bytes) / kMB);
  }
  return 0;
}
