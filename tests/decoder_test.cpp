#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "decode/tsmufflz.h"

namespace kestrel {
namespace {

using Result = tsmufflz::Result;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLimit = 65536;
constexpr std::size_t kOutputArea = kLimit + 1;
constexpr std::uint8_t kFill = 0xA5;  // what both decoders' output areas hold beforehand

// ---- Reference decoder: one bit and one byte at a time, tables derived from their rules. ----

struct RefTables {
  std::array<std::uint32_t, 30> length_base{};
  std::array<std::uint32_t, 30> length_extra{};
  std::array<std::uint32_t, 32> dist_base{};
  std::array<std::uint32_t, 32> dist_extra{};
};

RefTables MakeRefTables() {
  RefTables t;
  // codes 0-8 carry no extra bits, then four codes per extra-bit count 1..5; code 29 is 259
  std::uint32_t base = 3;
  for (int c = 0; c < 29; ++c) {
    t.length_extra[c] = c <= 8 ? 0 : (c - 5) / 4;
    t.length_base[c] = base;
    base += 1u << t.length_extra[c];
  }
  t.length_base[29] = 259;
  t.length_extra[29] = 0;
  base = 1;
  for (int d = 0; d < 32; ++d) {
    t.dist_extra[d] = d < 4 ? 0 : d / 2 - 1;
    t.dist_base[d] = base;
    base += 1u << t.dist_extra[d];
  }
  return t;
}

const RefTables& Tables() {
  static const RefTables t = MakeRefTables();
  return t;
}

struct Decoded {
  Result result;
  std::uint32_t count;
  Bytes bytes;         // the first `count` bytes of the output area
  std::uint8_t spare;  // the output area's last byte
};

std::uint32_t RefBits(const std::uint8_t* in, std::uint64_t size, std::uint64_t p, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i, ++p) {
    const std::uint32_t bit = p / 8 < size ? (in[p / 8] >> (7 - p % 8)) & 1 : 0;
    v = (v << 1) | bit;
  }
  return v;
}

Decoded ReferenceDecode(const Bytes& input, std::uint32_t count) {
  const RefTables& t = Tables();
  const std::uint64_t size = (std::uint64_t{count} + 7) / 8;
  Bytes out(kOutputArea, kFill);
  std::uint64_t p = 0;
  std::uint64_t o = 0;
  auto finish = [&](Result r, std::uint64_t n) {
    return Decoded{r, static_cast<std::uint32_t>(n), Bytes(out.begin(), out.begin() + n),
                   out[kLimit]};
  };
  while (p < count) {
    std::uint32_t code;
    int code_bits;
    const std::uint32_t top7 = RefBits(input.data(), size, p, 7);
    const std::uint32_t top8 = RefBits(input.data(), size, p, 8);
    const std::uint32_t top9 = RefBits(input.data(), size, p, 9);
    if (top7 <= 23) {
      code = top7;
      code_bits = 7;
    } else if (top8 <= 0xBF) {
      out[o++] = static_cast<std::uint8_t>(top8 - 0x30);
      if (o > kLimit) return finish(Result::kOk, kLimit);
      p += 8;
      continue;
    } else if (top8 <= 0xC7) {
      code = top8 - 0xC0 + 24;
      code_bits = 8;
    } else {
      out[o++] = static_cast<std::uint8_t>(top9 - 0x190 + 0x90);
      if (o > kLimit) return finish(Result::kOk, kLimit);
      p += 9;
      continue;
    }
    if (code >= 30) return finish(Result::kCorrupt, o);
    p += code_bits;
    const std::uint32_t length =
        t.length_base[code] + RefBits(input.data(), size, p, t.length_extra[code]);
    p += t.length_extra[code];
    const std::uint32_t dcode = RefBits(input.data(), size, p, 5);
    p += 5;
    const std::uint32_t distance =
        t.dist_base[dcode] + RefBits(input.data(), size, p, t.dist_extra[dcode]);
    p += t.dist_extra[dcode];
    if (distance > o) continue;
    for (std::uint32_t i = 0; i < length; ++i) {
      out[o] = out[o - distance];
      ++o;
      if (o > kLimit) return finish(Result::kOk, kLimit);
    }
  }
  return finish(Result::kOk, o);
}

// ---- The decoder under test, fed exactly ceil(count/8) heap bytes so ASan sees any overread. --

Decoded FastDecode(const Bytes& input, std::uint32_t count) {
  const std::size_t size = (std::size_t{count} + 7) / 8;
  EXPECT_LE(size, input.size());
  Bytes exact(input.begin(), input.begin() + std::min(size, input.size()));
  exact.resize(size);
  Bytes out(kOutputArea, kFill);
  std::uint32_t n = count;
  const Result r = tsmufflz::DecodeBlock(exact.empty() ? nullptr : exact.data(), out.data(), n);
  EXPECT_LE(n, kLimit);
  n = std::min(n, kLimit);
  return Decoded{r, n, Bytes(out.begin(), out.begin() + n), out[kLimit]};
}

// ---- Stream writer: most significant bit first, extra bits too. ----

class BitWriter {
 public:
  void Put(std::uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      if (bits_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (bits_ % 8));
      ++bits_;
    }
  }
  void Literal(std::uint8_t b) {
    if (b < 0x90) {
      Put(0x30u + b, 8);
    } else {
      Put(0x190u + (b - 0x90u), 9);
    }
  }
  // A length code by number (0..31), its extra value, a distance code and its extra value.
  void RawMatch(std::uint32_t code, std::uint32_t extra, std::uint32_t dcode,
                std::uint32_t dextra) {
    if (code < 24) {
      Put(code, 7);
    } else {
      Put(0xC0 + code - 24, 8);
    }
    if (code < 30) Put(extra, static_cast<int>(Tables().length_extra[code]));
    Put(dcode, 5);
    Put(dextra, static_cast<int>(Tables().dist_extra[dcode]));
  }
  // Length 3..259 and distance 1..65536; `alt259` picks code 28 + 31 over code 29 for 259.
  void Match(std::uint32_t length, std::uint32_t distance, bool alt259 = false) {
    const RefTables& t = Tables();
    std::uint32_t code = 29;
    if (length < 259 || alt259) {
      code = 0;
      while (code < 28 && t.length_base[code + 1] <= length) ++code;
    }
    std::uint32_t dcode = 0;
    while (dcode < 31 && t.dist_base[dcode + 1] <= distance) ++dcode;
    RawMatch(code, length - t.length_base[code], dcode, distance - t.dist_base[dcode]);
  }
  std::uint32_t bits() const { return static_cast<std::uint32_t>(bits_); }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  std::uint64_t bits_ = 0;
};

void ExpectSame(const Decoded& want, const Decoded& got, const char* what) {
  ASSERT_EQ(want.result, got.result) << what;
  ASSERT_EQ(want.count, got.count) << what;
  ASSERT_EQ(want.bytes, got.bytes) << what;
  EXPECT_EQ(want.spare, got.spare) << what;  // the byte that hit the limit, or untouched
}

Decoded DecodeBoth(const BitWriter& w, const char* what) {
  const Decoded want = ReferenceDecode(w.bytes(), w.bits());
  Decoded got = FastDecode(w.bytes(), w.bits());
  ExpectSame(want, got, what);
  return got;
}

// Writes `n` bytes of a varied pattern with literals and matches (so it is quick to decode).
void WriteFiller(BitWriter& w, std::uint32_t n) {
  for (std::uint32_t i = 0; i < std::min<std::uint32_t>(n, 300); ++i) {
    w.Literal(static_cast<std::uint8_t>(i * 7 + 3));
  }
  std::uint32_t done = std::min<std::uint32_t>(n, 300);
  while (done < n) {
    const std::uint32_t len = std::min<std::uint32_t>(n - done, 259);
    if (len < 3) {
      w.Literal(static_cast<std::uint8_t>(done));
      ++done;
      continue;
    }
    w.Match(len, 300);
    done += len;
  }
}

Bytes Repeat(std::uint8_t b, std::size_t n) {
  return Bytes(n, b);
}

// ---- The tables themselves. ----

TEST(DecoderTables, ReferenceTablesMatchTheCodeDefinition) {
  const RefTables& t = Tables();
  EXPECT_EQ(t.length_base[0], 3u);
  EXPECT_EQ(t.length_base[8], 11u);
  EXPECT_EQ(t.length_base[9], 12u);
  EXPECT_EQ(t.length_base[13], 20u);
  EXPECT_EQ(t.length_base[17], 36u);
  EXPECT_EQ(t.length_base[21], 68u);
  EXPECT_EQ(t.length_base[25], 132u);
  EXPECT_EQ(t.length_base[28], 228u);
  EXPECT_EQ(t.length_extra[28], 5u);
  EXPECT_EQ(t.dist_base[29], 24577u);
  EXPECT_EQ(t.dist_extra[29], 13u);
  EXPECT_EQ(t.dist_base[30], 32769u);
  EXPECT_EQ(t.dist_base[31], 49153u);
  EXPECT_EQ(t.dist_extra[31], 14u);
  EXPECT_EQ(t.dist_base[31] + (1u << t.dist_extra[31]) - 1, 65536u);
}

// ---- Edge cases of the code. ----

TEST(DecodeBlock, ZeroBitsGiveNothingAndReadNothing) {
  Bytes out(kOutputArea, 0x5A);
  std::uint32_t n = 0;
  EXPECT_EQ(tsmufflz::DecodeBlock(nullptr, out.data(), n), Result::kOk);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out[0], 0x5A);
}

TEST(DecodeBlock, SingleEightBitLiteral) {
  const Decoded d = FastDecode({0x30}, 8);
  EXPECT_EQ(d.result, Result::kOk);
  EXPECT_EQ(d.bytes, Bytes{0x00});
}

TEST(DecodeBlock, SingleNineBitLiteral) {
  const Decoded d = FastDecode({0xC8, 0x00}, 9);
  EXPECT_EQ(d.result, Result::kOk);
  EXPECT_EQ(d.bytes, Bytes{0x90});
}

TEST(DecodeBlock, EveryLiteralRoundTrips) {
  BitWriter w;
  Bytes want;
  for (int i = 0; i < 256; ++i) {
    w.Literal(static_cast<std::uint8_t>(i));
    want.push_back(static_cast<std::uint8_t>(i));
  }
  for (int i = 255; i >= 0; --i) {
    w.Literal(static_cast<std::uint8_t>(i));
    want.push_back(static_cast<std::uint8_t>(i));
  }
  EXPECT_EQ(DecodeBoth(w, "literals").bytes, want);
}

TEST(DecodeBlock, SevenZeroBitsAreLengthThreeNotAnEndMarker) {
  BitWriter w;
  w.Literal('A');
  w.Put(0, 7);  // length code 0
  w.Put(0, 5);  // distance code 0: distance 1
  w.Literal('B');
  EXPECT_EQ(DecodeBoth(w, "code 0").bytes, (Bytes{'A', 'A', 'A', 'A', 'B'}));
}

TEST(DecodeBlock, LongestMatchBothWays) {
  for (bool alt : {false, true}) {
    BitWriter w;
    w.Literal('z');
    if (alt) {
      w.RawMatch(28, 31, 0, 0);
    } else {
      w.RawMatch(29, 0, 0, 0);
    }
    EXPECT_EQ(DecodeBoth(w, "259").bytes, Repeat('z', 260)) << alt;
  }
}

TEST(DecodeBlock, DistanceOneLengthTenRepeatsTheLiteral) {
  BitWriter w;
  w.Literal(0xE1);
  w.Match(10, 1);
  EXPECT_EQ(DecodeBoth(w, "run").bytes, Repeat(0xE1, 11));
}

TEST(DecodeBlock, ShortDistancesRepeatTheirPattern) {
  for (std::uint32_t dist = 1; dist <= 17; ++dist) {
    for (std::uint32_t len : {3u, 7u, 8u, 9u, 16u, 100u, 259u}) {
      BitWriter w;
      Bytes want;
      for (std::uint32_t i = 0; i < dist; ++i) {
        w.Literal(static_cast<std::uint8_t>(0x41 + i));
        want.push_back(static_cast<std::uint8_t>(0x41 + i));
      }
      w.Match(len, dist);
      for (std::uint32_t i = 0; i < len; ++i) want.push_back(want[want.size() - dist]);
      w.Literal('!');
      want.push_back('!');
      // pad with literals so the fast loop, not only the careful one, sees the match
      for (int i = 0; i < 16; ++i) {
        w.Literal('.');
        want.push_back('.');
      }
      EXPECT_EQ(DecodeBoth(w, "pattern").bytes, want) << dist << " " << len;
    }
  }
}

TEST(DecodeBlock, TooFarMatchIsSkippedAndDecodingGoesOn) {
  BitWriter w;
  w.Literal('a');
  w.Match(5, 2);  // reaches before the block
  w.Literal('b');
  w.Match(3, 65536);
  w.Match(4, 2);
  for (int i = 0; i < 20; ++i) w.Literal('c');
  Bytes want = {'a', 'b', 'a', 'b', 'a', 'b'};
  want.insert(want.end(), 20, 'c');
  EXPECT_EQ(DecodeBoth(w, "skip").bytes, want);
}

TEST(DecodeBlock, LastCodeRunningPastTheEndReadsZeros) {
  // 'A' then length code 0, stopped after 15 bits: the distance code lies past the stream.
  // Bit 16 is in the last byte and is read as it stands; everything after it is zero.
  {
    const Decoded d = FastDecode({0x71, 0x00}, 15);  // distance code 00000: distance 1
    EXPECT_EQ(d.result, Result::kOk);
    EXPECT_EQ(d.bytes, (Bytes{'A', 'A', 'A', 'A'}));
  }
  {
    const Decoded d = FastDecode({0x71, 0x01}, 15);  // distance code 10000: 257, skipped
    EXPECT_EQ(d.bytes, (Bytes{'A'}));
  }
  // a literal code cut short: 1 bit of count still decodes the whole first code
  EXPECT_EQ(FastDecode({0x30}, 1).bytes, Bytes{0x00});
  // the ninth bit of 0x90/0x91 lies in a byte that is not part of the stream: zero
  EXPECT_EQ(FastDecode({0xC8, 0xFF}, 8).bytes, Bytes{0x90});
  EXPECT_EQ(FastDecode({0xC8, 0x80}, 9).bytes, Bytes{0x91});
}

TEST(DecodeBlock, ReadsNoByteBeyondTheStream) {
  // The same stream with garbage after ceil(count/8) bytes decodes the same, at any cut.
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    Bytes data(40);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t count = rng() % (8 * 32 + 1);
    const Decoded exact = FastDecode(data, count);
    Bytes padded(data.begin(), data.begin() + (count + 7) / 8);
    padded.resize(padded.size() + 16, 0xFF);
    Bytes out(kOutputArea, kFill);
    std::uint32_t n = count;
    const Result r = tsmufflz::DecodeBlock(padded.data(), out.data(), n);
    ASSERT_EQ(r, exact.result);
    ASSERT_EQ(n, exact.count);
    ASSERT_EQ(Bytes(out.begin(), out.begin() + n), exact.bytes);
    ExpectSame(ReferenceDecode(data, count), exact, "garbage after the stream");
  }
}

// ---- The 65536 limit. ----

TEST(DecodeBlock, ExactlyTheLimitIsKept) {
  BitWriter w;
  WriteFiller(w, kLimit);
  const Decoded d = DecodeBoth(w, "exact");
  EXPECT_EQ(d.count, kLimit);
  EXPECT_EQ(d.result, Result::kOk);
}

TEST(DecodeBlock, OneLiteralPastTheLimitStopsThere) {
  BitWriter w;
  WriteFiller(w, kLimit);
  w.Literal(0xEE);
  w.Literal(0xDD);
  const Decoded d = DecodeBoth(w, "literal past limit");
  EXPECT_EQ(d.count, kLimit);
  EXPECT_EQ(d.spare, 0xEE);
}

TEST(DecodeBlock, MatchCrossingTheLimitIsCut) {
  for (std::uint32_t before : {kLimit - 1, kLimit - 2, kLimit - 100, kLimit - 258, kLimit - 259,
                               kLimit - 260, kLimit - 261, kLimit - 300}) {
    for (std::uint32_t dist : {1u, 3u, 8u, 1000u}) {
      BitWriter w;
      WriteFiller(w, before);
      w.Match(259, dist);
      w.Literal(0x11);
      const Decoded d = DecodeBoth(w, "match past limit");
      EXPECT_EQ(d.count, std::min(before + 260, kLimit)) << before << " " << dist;
    }
  }
}

TEST(DecodeBlock, GreatestDistanceNeedsAFullBlock) {
  // Before 65536 bytes exist the match is skipped; afterwards its first byte hits the limit.
  {
    BitWriter w;
    WriteFiller(w, kLimit - 1);
    w.RawMatch(0, 0, 31, 0x3FFF);
    w.Literal(0x42);
    const Decoded d = DecodeBoth(w, "65536 too far");
    EXPECT_EQ(d.count, kLimit);
    EXPECT_EQ(d.bytes.back(), 0x42);
  }
  {
    BitWriter w;
    WriteFiller(w, kLimit);
    w.RawMatch(0, 0, 31, 0x3FFF);
    const Decoded d = DecodeBoth(w, "65536");
    EXPECT_EQ(d.count, kLimit);
    EXPECT_EQ(d.spare, d.bytes[0]);
  }
}

TEST(DecodeBlock, ManySkippedMatchesJustBelowTheLimit) {
  // one byte short of a full block, matches of distance 65536 reach too far and write nothing
  BitWriter w;
  WriteFiller(w, kLimit - 1);
  for (int i = 0; i < 1000; ++i) w.RawMatch(i % 30, 0, 31, 0x3FFF);
  w.Literal(0x24);
  const Decoded d = DecodeBoth(w, "skipped near limit");
  EXPECT_EQ(d.count, kLimit);
  EXPECT_EQ(d.bytes.back(), 0x24);
}

// ---- Length codes 30 and 31. ----

TEST(DecodeBlock, LengthCodes30And31AreCorrupt) {
  for (std::uint32_t code : {30u, 31u}) {
    for (std::uint32_t lead : {0u, 2u, 500u}) {
      BitWriter w;
      for (std::uint32_t i = 0; i < lead; ++i) w.Literal(static_cast<std::uint8_t>(i));
      w.RawMatch(code, 0, 0, 0);
      for (int i = 0; i < 40; ++i) w.Literal('x');
      const Decoded d = DecodeBoth(w, "corrupt");
      EXPECT_EQ(d.result, Result::kCorrupt);
      EXPECT_EQ(d.count, lead);
    }
  }
}

TEST(DecodeBlock, CorruptCodeAfterMatchesCountsTheirBytes) {
  BitWriter w;
  WriteFiller(w, 5000);
  w.Put(0xC6, 8);
  const Decoded d = DecodeBoth(w, "corrupt after 5000");
  EXPECT_EQ(d.result, Result::kCorrupt);
  EXPECT_EQ(d.count, 5000u);
}

// ---- Random streams against the reference. ----

// A random stream of valid codes: literals, matches of every length class and distance class,
// matches that reach too far, with a target size that may pass the limit.
BitWriter RandomStream(std::mt19937& rng, std::uint32_t target) {
  BitWriter w;
  std::uint64_t produced = 0;
  auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  while (produced < target) {
    const std::uint32_t kind = pick(0, 99);
    if (kind < 40 || produced == 0) {
      w.Literal(static_cast<std::uint8_t>(pick(0, 255)));
      ++produced;
      continue;
    }
    const std::uint32_t len = pick(0, 3) == 0 ? pick(200, 259) : pick(3, 40);
    const bool alt = pick(0, 1) == 1;
    const std::uint32_t avail =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(produced, kLimit));
    if (kind < 48) {  // reaches too far
      if (avail < kLimit) w.Match(len, pick(avail + 1, kLimit), alt);
      continue;
    }
    std::uint32_t dist;
    if (kind < 70) {
      dist = pick(1, std::min<std::uint32_t>(avail, 9));
    } else if (kind < 90) {
      dist = pick(1, std::min<std::uint32_t>(avail, 300));
    } else {
      dist = pick(1, avail);
    }
    w.Match(len, dist, alt);
    produced += len;
  }
  return w;
}

TEST(DecodeBlockRandom, ValidStreamsMatchTheReference) {
  std::mt19937 rng(20240601);
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t target = round % 10 == 0 ? 70000 : rng() % 3000;
    const BitWriter w = RandomStream(rng, target);
    SCOPED_TRACE(round);
    DecodeBoth(w, "random valid");
    if (HasFatalFailure()) return;
  }
}

TEST(DecodeBlockRandom, LiteralRichStreamsMatchTheReference) {
  // over 6 bits per byte of a full chunk, which the decoder takes in its literal-rich loop;
  // some matches reach too far, and every stream runs past the limit
  std::mt19937 rng(8086);
  for (int round = 0; round < 12; ++round) {
    BitWriter w;
    std::uint32_t produced = 0;
    while (w.bits() <= 6 * kLimit || produced <= kLimit + 4000) {
      if (produced == 0 || rng() % 16 != 0) {
        w.Literal(static_cast<std::uint8_t>(rng()));
        ++produced;
        continue;
      }
      const std::uint32_t length = 3 + rng() % (round % 2 == 0 ? 12 : 60);
      const std::uint32_t distance = 1 + rng() % std::min(produced + produced / 8 + 1, kLimit);
      w.Match(length, distance);
      if (distance <= produced) produced += length;
    }
    SCOPED_TRACE(round);
    EXPECT_EQ(DecodeBoth(w, "literal-rich").count, kLimit);
    if (HasFatalFailure()) return;
  }
}

TEST(DecodeBlockRandom, CutStreamsMatchTheReference) {
  // valid streams stopped at an arbitrary bit: the last code runs past the end
  std::mt19937 rng(99);
  for (int round = 0; round < 400; ++round) {
    const BitWriter w = RandomStream(rng, rng() % 400 + 1);
    const std::uint32_t count = rng() % (w.bits() + 1);
    SCOPED_TRACE(round);
    ExpectSame(ReferenceDecode(w.bytes(), count), FastDecode(w.bytes(), count), "cut");
    if (HasFatalFailure()) return;
  }
}

TEST(DecodeBlockRandom, RandomBytesMatchTheReference) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 2000; ++round) {
    Bytes data(rng() % 600);
    // few 9-bit prefixes are 30/31, so most of these run to their end or the limit
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t count = static_cast<std::uint32_t>(rng() % (8 * data.size() + 1));
    SCOPED_TRACE(round);
    ExpectSame(ReferenceDecode(data, count), FastDecode(data, count), "random bytes");
    if (HasFatalFailure()) return;
  }
}

TEST(DecodeBlockRandom, LongRunsMatchTheReferenceAtTheLimit) {
  // long matches at short distances with literals between: every block reaches the limit
  std::mt19937 rng(31337);
  for (int round = 0; round < 60; ++round) {
    BitWriter w;
    w.Literal(static_cast<std::uint8_t>(rng()));
    while (w.bits() < 8 * 4000) {
      if (rng() % 4 == 0) {
        w.Literal(static_cast<std::uint8_t>(rng()));
      } else {
        w.RawMatch(24 + rng() % 6, rng(), rng() % 12, rng());
      }
    }
    SCOPED_TRACE(round);
    const Decoded d = DecodeBoth(w, "long runs");
    if (HasFatalFailure()) return;
    EXPECT_EQ(d.count, kLimit);
  }
}

}  // namespace
}  // namespace kestrel
