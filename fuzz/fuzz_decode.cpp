// Block decoder against a bit-at-a-time reference. Input: 4 bytes (little-endian) choosing the
// bit count, then the stream bytes. The stream sits in a heap buffer of exactly ceil(count/8)
// bytes and the output in one of exactly 65537, so ASan catches any read or write past them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/tsmufflz.h"

namespace {

using kestrel::tsmufflz;

constexpr std::uint32_t kLimit = 65536;
constexpr std::uint8_t kFill = 0xA5;

const std::uint32_t kLengthBase[30] = {3,  4,  5,  6,   7,   8,   9,   10,  11,  12,
                                       14, 16, 18, 20,  24,  28,  32,  36,  44,  52,
                                       60, 68, 84, 100, 116, 132, 164, 196, 228, 259};
const std::uint32_t kLengthExtra[30] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                        2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

std::uint32_t Bits(const std::uint8_t* in, std::uint64_t size, std::uint64_t p, std::uint32_t n) {
  std::uint32_t v = 0;
  for (std::uint32_t i = 0; i < n; ++i, ++p) {
    v = (v << 1) | (p / 8 < size ? (in[p / 8] >> (7 - p % 8)) & 1u : 0u);
  }
  return v;
}

struct Outcome {
  tsmufflz::Result result;
  std::uint32_t count;
};

// Straight from the code's definition: one bit and one output byte at a time.
Outcome Reference(const std::uint8_t* in, std::uint32_t count, std::uint8_t* out) {
  const std::uint64_t size = (std::uint64_t{count} + 7) / 8;
  std::uint64_t p = 0;
  std::uint32_t o = 0;
  while (p < count) {
    std::uint32_t code;
    if (Bits(in, size, p, 7) <= 23) {
      code = Bits(in, size, p, 7);
      p += 7;
    } else if (Bits(in, size, p, 8) <= 0xBF) {
      out[o++] = static_cast<std::uint8_t>(Bits(in, size, p, 8) - 0x30);
      if (o > kLimit) return {tsmufflz::Result::kOk, kLimit};
      p += 8;
      continue;
    } else if (Bits(in, size, p, 8) <= 0xC7) {
      code = Bits(in, size, p, 8) - 0xC0 + 24;
      p += 8;
    } else {
      out[o++] = static_cast<std::uint8_t>(Bits(in, size, p, 9) - 0x190 + 0x90);
      if (o > kLimit) return {tsmufflz::Result::kOk, kLimit};
      p += 9;
      continue;
    }
    if (code >= 30) return {tsmufflz::Result::kCorrupt, o};
    const std::uint32_t length = kLengthBase[code] + Bits(in, size, p, kLengthExtra[code]);
    p += kLengthExtra[code];
    const std::uint32_t dcode = Bits(in, size, p, 5);
    p += 5;
    // distance codes: 0-3 plain, then pairs with 1..14 extra bits
    const std::uint32_t dextra = dcode < 4 ? 0 : dcode / 2 - 1;
    const std::uint32_t dbase = dcode < 4 ? dcode + 1 : ((2u + dcode % 2) << dextra) + 1;
    const std::uint32_t distance = dbase + Bits(in, size, p, dextra);
    p += dextra;
    if (distance > o) continue;
    for (std::uint32_t i = 0; i < length; ++i) {
      out[o] = out[o - distance];
      if (++o > kLimit) return {tsmufflz::Result::kOk, kLimit};
    }
  }
  return {tsmufflz::Result::kOk, o};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t raw;
  std::memcpy(&raw, data, 4);
  data += 4;
  size -= 4;
  // the count may run up to 64 bits past the given bytes; those read as zero-filled stream
  const std::uint64_t max_bits = std::uint64_t{size} * 8 + 64;
  const auto count = static_cast<std::uint32_t>(raw % (max_bits + 1));
  const std::size_t in_size = (std::size_t{count} + 7) / 8;

  std::vector<std::uint8_t> input(in_size, 0);
  if (in_size != 0) std::memcpy(input.data(), data, in_size < size ? in_size : size);
  std::vector<std::uint8_t> want(kLimit + 1, kFill);
  std::vector<std::uint8_t> got(kLimit + 1, kFill);

  const Outcome ref = Reference(input.data(), count, want.data());
  std::uint32_t n = count;
  const tsmufflz::Result r =
      tsmufflz::DecodeBlock(input.empty() ? nullptr : input.data(), got.data(), n);

  if (r != ref.result || n != ref.count) abort();
  if (std::memcmp(want.data(), got.data(), n) != 0) abort();
  if (want[kLimit] != got[kLimit]) abort();  // the spare byte: the 65537th byte or untouched
  return 0;
}
