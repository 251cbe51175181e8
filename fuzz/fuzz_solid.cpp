// Feeds an arbitrary LZMA2 stream to the solid stream reader: damaged and truncated streams,
// a dictionary byte that lies about what the stream uses, a content length it does not hold.
// Input: a flags byte (bit 7: decode on a thread of its own; the rest: the dictionary byte, up
// to 8 MiB), 3 bytes of content length, then the stream, framed here into stored blocks.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "installengine/solid.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "sysutil/codepage.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;

const fs::path& PackagePathOnDisk() {
  static const fs::path p = [] {
    std::error_code ec;
    const fs::path base =
        fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("kestrel-fuzz-solid-" + std::to_string(::getpid()) + ".bin");
  }();
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  SolidStreamRef ref;
  ref.dictionary = static_cast<std::uint8_t>((data[0] & 0x7F) % 23);
  const bool threaded = (data[0] & 0x80) != 0;
  ref.unpacked = data[1] | data[2] << 8 | (data[3] & 0x3F) << 16;
  const std::uint8_t* stream = data + 4;
  const std::size_t n = size - 4;
  ref.packed = n;
  std::vector<std::uint8_t> file;
  for (std::size_t at = 0; at < n || at == 0;) {
    const std::size_t piece = std::min<std::size_t>(n - at, kMaxChunk);
    BlockHeader h{};
    h.marker = kBlockMarker;
    h.bitcount = static_cast<std::uint32_t>(piece * 8);
    h.lastblock = at + piece == n ? 1 : 0;
    const auto* hb = reinterpret_cast<const std::uint8_t*>(&h);
    file.insert(file.end(), hb, hb + sizeof h);
    file.insert(file.end(), stream + at, stream + at + piece);
    file.resize(file.size() + PayloadBytes(h.bitcount) - piece, 0);
    at += piece;
    if (piece == 0) break;
  }
  {
    std::ofstream out(PackagePathOnDisk(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }
  auto host = MakeHostFileSystem();
  auto package = host->NewFile();
  if (!package->OpenRead(Utf8ToUtf16(PackagePathOnDisk().string()))) return 0;
  SolidStream s(*package, 0, ref, nullptr, threaded);
  if (s.Open() != SolidStream::Fault::kNone) return 0;
  // read in pieces of changing sizes, once skipping back to the start
  std::size_t want = 1;
  for (int pass = 0; pass < 2; ++pass) {
    for (;;) {
      const std::uint8_t* bytes = nullptr;
      std::size_t got = 0;
      if (s.Next(want, bytes, got) != SolidStream::Fault::kNone || got == 0) break;
      if (bytes[0] == 0xFF && bytes[got - 1] == 0xFF) want = want * 3 % 300000 + 1;
      want = want * 7 % 200000 + 1;
    }
    if (s.SkipTo(0) != SolidStream::Fault::kNone) break;
  }
  return 0;
}
