// Feeds arbitrary bytes to the compact directory's stream parser, cut into pieces whose sizes the
// input's first byte chooses, then reads back every record it accepted. Whatever the bytes, the
// parser must refuse or accept without reading or writing out of bounds.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "package/directory.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] * 37u;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  Directory dir;
  CompactRecordParser parser(dir);
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    if (!parser.Feed(stream.subspan(at, std::min(piece, stream.size() - at)))) break;
  }
  auto r = std::make_unique<DirectoryRecord>();
  for (std::size_t i = 0; i < dir.size(); ++i) {
    dir.Get(i, *r);
    // a text read back must end within its field, as the reader's ReadWide expects
    if (ReadWide(r->filename).size() > kWideTextUnits) __builtin_trap();
  }
  if (parser.records() != dir.size()) __builtin_trap();
  return 0;
}
