#include "pack/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/tsmufflz.h"

namespace kestrel::pack {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kChunk = 65536;
constexpr std::uint32_t kPayloadBitLimit = 524288;
constexpr Level kLevels[] = {Level::kFast, Level::kBest};

std::string LevelName(Level level) {
  return level == Level::kFast ? "fast" : "best";
}

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Word salad with punctuation and line breaks: compresses like prose.
Bytes Text(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {
      "the",     "setup",    "program", "installs", "files", "into",     "folder", "of",
      "product", "registry", "entries", "service",  "and",   "shortcut", "a",      "licence",
      "Windows", "user",     "copy",    "is",       "when",  "which",    "folder", "Kestrel"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % std::size(kWords)];
    const auto r = rng() % 16;
    s += r == 0 ? ".\r\n" : r == 1 ? ", " : " ";
  }
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Runs of random length and value, some of them long.
Bytes Runs(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const std::size_t len = 1 + rng() % (rng() % 4 == 0 ? 2000 : 12);
    b.insert(b.end(), std::min(len, n - b.size()), static_cast<std::uint8_t>(rng()));
  }
  return b;
}

// Random block, then that block again further away than the old 32 KiB window reaches.
Bytes FarRepeat(std::size_t block, std::size_t gap, std::uint32_t seed) {
  Bytes b = RandomBytes(block, seed);
  const Bytes filler = RandomBytes(gap, seed + 1);
  const Bytes first = b;
  b.insert(b.end(), filler.begin(), filler.end());
  b.insert(b.end(), first.begin(), first.end());
  return b;
}

// Decodes one coded stream with the installer's decoder.
Bytes DecodeStream(const Bytes& payload, std::uint32_t bitcount) {
  Bytes in = payload;
  Bytes out(kChunk + 1, 0xEE);
  std::uint32_t count = bitcount;
  EXPECT_EQ(tsmufflz::DecodeBlock(in.data(), out.data(), count), tsmufflz::Result::kOk);
  out.resize(count);
  return out;
}

// Checks the rules every block obeys and returns what the installer would write for it.
Bytes CheckAndDecode(const EncodedBlock& b) {
  EXPECT_EQ(b.payload.size(), (std::uint64_t{b.bitcount} + 63) / 64 * 8);
  EXPECT_LE(b.bitcount, kPayloadBitLimit);
  EXPECT_GT(b.bitcount, 0u);
  if (!b.coded) {
    EXPECT_EQ(b.bitcount % 64, 0u) << "stored blocks are whole 8-byte units";
    return b.payload;
  }
  // the filler behind the stream is zero
  for (std::uint64_t bit = b.bitcount; bit < b.payload.size() * 8; ++bit) {
    EXPECT_EQ((b.payload[bit / 8] >> (7 - bit % 8)) & 1, 0) << "filler bit " << bit;
  }
  return DecodeStream(b.payload, b.bitcount);
}

struct Packed {
  std::vector<EncodedBlock> blocks;
  std::uint64_t payload_bytes = 0;
};

// Packs a file chunk by chunk, checks every block and the round trip, and returns the blocks.
Packed PackFile(Encoder& enc, const Bytes& data) {
  Packed p;
  for (std::size_t at = 0; at < data.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, data.size() - at);
    const std::size_t first = p.blocks.size();
    enc.EncodeChunk(std::span(data).subspan(at, n), p.blocks);
    const std::size_t added = p.blocks.size() - first;
    EXPECT_TRUE(added == 1 || added == 2) << added << " blocks for one chunk";
  }
  Bytes back;
  for (const auto& b : p.blocks) {
    const Bytes part = CheckAndDecode(b);
    back.insert(back.end(), part.begin(), part.end());
    p.payload_bytes += b.payload.size();
  }
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "round trip differs";
  return p;
}

class EncoderRoundTrip : public ::testing::TestWithParam<Level> {};

TEST_P(EncoderRoundTrip, TinyInputsOfEveryLengthUpTo16) {
  Encoder enc(GetParam());
  for (std::size_t n = 1; n <= 16; ++n) {
    SCOPED_TRACE(n);
    PackFile(enc, Bytes(n, 0x00));
    PackFile(enc, Bytes(n, 0xFF));
    PackFile(enc, RandomBytes(n, static_cast<std::uint32_t>(n)));
    Bytes ramp(n);
    for (std::size_t i = 0; i < n; ++i)
      ramp[i] = static_cast<std::uint8_t>(0x8C + i);  // 8 and 9 bits
    PackFile(enc, ramp);
    PackFile(enc, Text(n, 7));
  }
}

TEST_P(EncoderRoundTrip, EmptyishInputs) {
  Encoder enc(GetParam());
  std::vector<EncodedBlock> blocks;
  enc.EncodeChunk({}, blocks);
  EXPECT_TRUE(blocks.empty()) << "an empty chunk yields no block";
  Bytes stream;
  EXPECT_EQ(enc.EncodeStream({}, stream), 0u);
  EXPECT_TRUE(stream.empty());
  // mostly zero, with a few bytes set far apart
  Bytes sparse(kChunk, 0);
  for (std::size_t i = 0; i < sparse.size(); i += 9973) sparse[i] = static_cast<std::uint8_t>(i);
  const Packed p = PackFile(enc, sparse);
  EXPECT_LT(p.payload_bytes, 1000u);
}

TEST_P(EncoderRoundTrip, RunsTextAndRandomOfManySizes) {
  Encoder enc(GetParam());
  for (std::size_t n : {17u, 100u, 1000u, 4099u, 65535u, 65536u, 65537u, 200000u}) {
    SCOPED_TRACE(n);
    const Packed runs = PackFile(enc, Runs(n, 1));
    const Packed text = PackFile(enc, Text(n, 2));
    PackFile(enc, RandomBytes(n, 3));
    if (n >= 4099) {
      EXPECT_LT(runs.payload_bytes, n / 4);
      EXPECT_LT(text.payload_bytes, n / 2);
    }
  }
}

TEST_P(EncoderRoundTrip, ExactlyOneFullChunk) {
  Encoder enc(GetParam());
  for (const Bytes& data : {Text(kChunk, 11), Runs(kChunk, 12), Bytes(kChunk, 0x41)}) {
    const Packed p = PackFile(enc, data);
    ASSERT_EQ(p.blocks.size(), 1u);
    EXPECT_TRUE(p.blocks[0].coded);
  }
}

TEST_P(EncoderRoundTrip, LongestMatchesAndRepeatsAtEveryPeriod) {
  Encoder enc(GetParam());
  // periods 1..300 cover every length code and the short distance codes
  for (std::size_t period = 1; period <= 300; period += period < 20 ? 1 : 17) {
    SCOPED_TRACE(period);
    const Bytes unit = RandomBytes(period, static_cast<std::uint32_t>(period));
    Bytes data;
    while (data.size() < 5000) data.insert(data.end(), unit.begin(), unit.end());
    const Packed p = PackFile(enc, data);
    EXPECT_LT(p.payload_bytes, period + 1000);
  }
}

TEST_P(EncoderRoundTrip, MatchesReachFurtherThan32KiB) {
  Encoder enc(GetParam());
  for (std::size_t gap : {0u, 20000u, 33000u, 40000u}) {
    SCOPED_TRACE(gap);
    const std::size_t block = std::min<std::size_t>(24000, (kChunk - gap) / 2);
    const Bytes data = FarRepeat(block, gap, 5);
    ASSERT_LE(data.size(), kChunk);
    const Packed p = PackFile(enc, data);
    // the second copy costs little: the whole chunk is far below its random content alone
    EXPECT_LT(p.payload_bytes, (block + gap) * 9 / 8 + 1000);
  }
}

TEST_P(EncoderRoundTrip, ChunksAreIndependent) {
  // The same random block in two consecutive chunks cannot refer back across the boundary.
  Encoder enc(GetParam());
  const Bytes block = RandomBytes(kChunk, 21);
  Bytes data = block;
  data.insert(data.end(), block.begin(), block.end());
  const Packed p = PackFile(enc, data);
  ASSERT_EQ(p.blocks.size(), 2u);
  EXPECT_FALSE(p.blocks[0].coded);
  EXPECT_FALSE(p.blocks[1].coded);
}

INSTANTIATE_TEST_SUITE_P(Levels, EncoderRoundTrip, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return LevelName(info.param); });

TEST(EncoderLevels, BestIsNeverLargerThanFast) {
  Encoder fast(Level::kFast);
  Encoder best(Level::kBest);
  std::vector<Bytes> inputs = {Text(kChunk, 31), Runs(kChunk, 32), FarRepeat(16000, 33000, 33),
                               RandomBytes(3000, 34)};
  Bytes mixed = Text(20000, 35);
  const Bytes noise = RandomBytes(5000, 36);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  const Bytes runs = Runs(20000, 37);
  mixed.insert(mixed.end(), runs.begin(), runs.end());
  mixed.insert(mixed.end(), mixed.begin(), mixed.begin() + 20000);
  inputs.push_back(mixed);
  Bytes structured(kChunk);  // small records with counters, like tables in executables
  for (std::size_t i = 0; i < structured.size(); ++i) {
    structured[i] = static_cast<std::uint8_t>(i % 16 < 4 ? (i / 16) >> (8 * (i % 4)) : i % 16);
  }
  inputs.push_back(structured);

  std::uint64_t fast_total = 0;
  std::uint64_t best_total = 0;
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    SCOPED_TRACE(k);
    Bytes a, b;
    const std::uint32_t fast_bits = fast.EncodeStream(inputs[k], a);
    const std::uint32_t best_bits = best.EncodeStream(inputs[k], b);
    EXPECT_LE(best_bits, fast_bits);
    EXPECT_EQ(DecodeStream(a, fast_bits), inputs[k]);
    EXPECT_EQ(DecodeStream(b, best_bits), inputs[k]);
    fast_total += fast_bits;
    best_total += best_bits;
  }
  EXPECT_LT(best_total, fast_total) << "the optimal parse should gain something on this set";
}

TEST(EncoderStream, AppendsWholeUnitsAndReportsExactBits) {
  Encoder enc(Level::kBest);
  Bytes out = {1, 2, 3};
  const Bytes data = Text(1000, 41);
  const std::uint32_t bits = enc.EncodeStream(data, out);
  ASSERT_EQ(out.size(), 3 + (std::uint64_t{bits} + 63) / 64 * 8);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(DecodeStream(Bytes(out.begin() + 3, out.end()), bits), data);
  // one bit less than reported loses the last code
  const Bytes shorter = DecodeStream(Bytes(out.begin() + 3, out.end()), bits - 1);
  EXPECT_NE(shorter, data);
}

TEST(EncoderStream, RefusesChunksOverTheLimit) {
  Encoder enc(Level::kFast);
  const Bytes big(kChunk + 1, 0);
  std::vector<EncodedBlock> blocks;
  Bytes out;
  EXPECT_THROW(enc.EncodeChunk(big, blocks), std::invalid_argument);
  EXPECT_THROW(enc.EncodeStream(big, out), std::invalid_argument);
}

// ---- block choice ----

class BlockChoice : public ::testing::TestWithParam<Level> {};

TEST_P(BlockChoice, IncompressibleFilesSplitTheirUnstorableTail) {
  Encoder enc(GetParam());
  for (std::size_t n : {65535u, 65543u, 130001u}) {
    SCOPED_TRACE(n);
    const Packed p = PackFile(enc, RandomBytes(n, static_cast<std::uint32_t>(n)));
    // every full chunk is stored; the last chunk's 8-byte part is stored, its 1..7 bytes coded
    std::size_t stored_bytes = 0;
    for (std::size_t k = 0; k + 1 < p.blocks.size(); ++k) {
      EXPECT_FALSE(p.blocks[k].coded) << k;
      stored_bytes += p.blocks[k].payload.size();
    }
    EXPECT_EQ(stored_bytes, n & ~std::size_t{7});
    const EncodedBlock& last = p.blocks.back();
    EXPECT_TRUE(last.coded);
    EXPECT_EQ(DecodeStream(last.payload, last.bitcount).size(), n % 8);
  }
}

TEST_P(BlockChoice, StoredOnlyWhenCodingDoesNotHelp) {
  Encoder enc(GetParam());
  {
    std::vector<EncodedBlock> blocks;
    enc.EncodeChunk(RandomBytes(4096, 51), blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_FALSE(blocks[0].coded);
    EXPECT_EQ(blocks[0].bitcount, 4096u * 8);
  }
  {
    std::vector<EncodedBlock> blocks;
    enc.EncodeChunk(Text(4096, 52), blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].coded);
    EXPECT_LT(blocks[0].payload.size(), 4096u);
  }
  {
    // compressible and not a multiple of 8: one coded block
    std::vector<EncodedBlock> blocks;
    enc.EncodeChunk(Text(4093, 53), blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].coded);
  }
  {
    // incompressible but within the bit limit: splitting still makes it smaller
    std::vector<EncodedBlock> blocks;
    enc.EncodeChunk(RandomBytes(10001, 54), blocks);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_FALSE(blocks[0].coded);
    EXPECT_EQ(blocks[0].payload.size(), 10000u);
    EXPECT_TRUE(blocks[1].coded);
  }
  {
    // fewer than 8 bytes can only be coded
    std::vector<EncodedBlock> blocks;
    enc.EncodeChunk(RandomBytes(7, 55), blocks);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].coded);
  }
}

TEST_P(BlockChoice, NineBitLiteralsNeverPassTheLimit) {
  // Bytes 0x90-0xFF all take 9 bits: 65535 of them would need 589815 bits coded.
  Encoder enc(GetParam());
  std::mt19937 rng(61);
  Bytes data(65535);
  for (auto& x : data) x = static_cast<std::uint8_t>(0x90 + rng() % 0x70);
  const Packed p = PackFile(enc, data);
  ASSERT_EQ(p.blocks.size(), 2u);
  EXPECT_EQ(p.blocks[0].payload.size(), 65528u);
}

INSTANTIATE_TEST_SUITE_P(Levels, BlockChoice, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return LevelName(info.param); });

}  // namespace
}  // namespace kestrel::pack
