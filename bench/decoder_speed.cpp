// Speed of the block decoder exactly as a program links it: built on the host and in the Windows
// builds (there with setup.exe's flags and its decoder object), run under Wine by scripts/bench.
// The file is cut into 64 KiB chunks and encoded; every block is checked once, then the coded
// blocks are decoded again and again for SECONDS. Prints "decoder MB/s=N.N" (output bytes).
//   kestrel_decoder_speed FILE [SECONDS] [fast|best]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode/tsmufflz.h"
#include "pack/encoder.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kestrel_decoder_speed FILE [SECONDS] [fast|best]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  const bool best = argc > 3 && std::string(argv[3]) == "best";
  std::FILE* f = std::fopen(argv[1], "rb");
  if (!f) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 2;
  }
  std::vector<std::uint8_t> data;
  std::uint8_t buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
    data.insert(data.end(), buf, buf + n);
  std::fclose(f);

  kestrel::pack::Encoder enc(best ? kestrel::pack::Level::kBest : kestrel::pack::Level::kFast);
  std::vector<kestrel::pack::EncodedBlock> blocks;
  std::vector<std::size_t> starts;  // where each block's output begins in `data`
  for (std::size_t at = 0; at < data.size(); at += 65536) {
    const std::size_t len = std::min<std::size_t>(65536, data.size() - at);
    std::size_t first = blocks.size();
    enc.EncodeChunk({data.data() + at, len}, blocks);
    std::size_t pos = at;
    for (std::size_t i = first; i < blocks.size(); ++i) {
      starts.push_back(pos);
      pos += blocks[i].coded ? 0 : blocks[i].payload.size();
      if (blocks[i].coded) pos = at + len;  // a coded block ends its chunk
    }
  }
  std::vector<std::uint8_t> out(65537);
  std::uint64_t coded_bytes = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (!blocks[i].coded) continue;
    std::uint32_t n = blocks[i].bitcount;
    const std::size_t end =
        i + 1 < blocks.size() && starts[i + 1] > starts[i]
            ? starts[i + 1]
            : std::min<std::size_t>(data.size(), (starts[i] / 65536 + 1) * 65536);
    if (kestrel::tsmufflz::DecodeBlock(blocks[i].payload.data(), out.data(), n) !=
            kestrel::tsmufflz::Result::kOk ||
        starts[i] + n != end || std::memcmp(out.data(), data.data() + starts[i], n) != 0) {
      std::fprintf(stderr, "block %zu decodes wrongly\n", i);
      return 1;
    }
    coded_bytes += n;
  }
  using clock = std::chrono::steady_clock;
  std::uint64_t produced = 0;
  const auto t0 = clock::now();
  double elapsed = 0;
  do {
    for (const auto& b : blocks) {
      if (!b.coded) continue;
      std::uint32_t n = b.bitcount;
      kestrel::tsmufflz::DecodeBlock(b.payload.data(), out.data(), n);
      produced += n;
    }
    elapsed = std::chrono::duration<double>(clock::now() - t0).count();
  } while (elapsed < seconds);
  std::printf("input %zu bytes, %zu blocks, %llu bytes in coded blocks\n", data.size(),
              blocks.size(), static_cast<unsigned long long>(coded_bytes));
  std::printf("decoder MB/s=%.1f\n", produced / elapsed / 1e6);
  return 0;
}
