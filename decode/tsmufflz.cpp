#include "decode/tsmufflz.h"

#include <array>
#include <bit>
#include <cstring>

#include "decode/lzcode.h"

namespace kestrel {
namespace {

constexpr std::uint32_t kLimit = 65536;

// One entry per 9-bit prefix. Bits 0-7: bits to consume (a length code's extra bits included);
// bits 8-15: mask of a length code's extra bits; bits 16-24: literal byte or length base;
// plus a flag for literals and one for length codes 30 and 31.
constexpr std::uint32_t kLiteral = 1u << 30;
constexpr std::uint32_t kInvalid = 1u << 31;

constexpr std::uint32_t LengthEntry(int code, std::uint32_t bits) {
  if (code >= lz::kLengthCodes) return kInvalid | bits;
  const std::uint32_t extra = lz::kLengthExtra[code];
  return (bits + extra) | (((1u << extra) - 1) << 8) | (std::uint32_t{lz::kLengthBase[code]} << 16);
}

constexpr std::array<std::uint32_t, 512> BuildCodeTable() {
  std::array<std::uint32_t, 512> t{};
  for (std::uint32_t prefix = 0; prefix < 512; ++prefix) {
    const std::uint32_t top7 = prefix >> 2;
    const std::uint32_t top8 = prefix >> 1;
    if (top7 <= 23) {
      t[prefix] = LengthEntry(static_cast<int>(top7), 7);
    } else if (top8 <= 0xBF) {
      t[prefix] = kLiteral | 8 | ((top8 - 0x30) << 16);
    } else if (top8 <= 0xC7) {
      t[prefix] = LengthEntry(static_cast<int>(top8 - 0xC0 + 24), 8);
    } else {
      t[prefix] = kLiteral | 9 | ((prefix - 0x190 + 0x90) << 16);
    }
  }
  return t;
}

constexpr std::array<std::uint32_t, 512> kCodeTable = BuildCodeTable();

// Distance code -> base, mask of its extra bits, and the bits to consume (code and extra).
struct DistanceEntry {
  std::uint32_t base;
  std::uint16_t mask;
  std::uint16_t bits;
};

constexpr std::array<DistanceEntry, 32> BuildDistanceTable() {
  std::array<DistanceEntry, 32> t{};
  for (int d = 0; d < 32; ++d) {
    const int extra = lz::kDistanceExtra[d];
    t[d] = {lz::kDistanceBase[d], static_cast<std::uint16_t>((1u << extra) - 1),
            static_cast<std::uint16_t>(5 + extra)};
  }
  return t;
}

constexpr std::array<DistanceEntry, 32> kDistanceTable = BuildDistanceTable();

inline std::uint64_t LoadBE64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

inline std::uint64_t LoadWord(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void StoreWord(std::uint8_t* p, std::uint64_t v) {
  std::memcpy(p, &v, 8);
}

// Copies 16 bytes; the caller keeps source and destination at least 16 bytes apart.
inline void Copy16(std::uint8_t* dst, const std::uint8_t* src) {
  std::memcpy(dst, src, 16);
}

struct Match {
  std::uint32_t length;
  std::uint32_t distance;
  std::uint32_t bits;
};

// Cuts a whole match from `window`, whose top 32 bits start at the length code.
inline Match CutMatch(std::uint64_t window, std::uint32_t entry) {
  const std::uint32_t length_bits = entry & 0xFF;  // 7 to 13
  const std::uint32_t length =
      ((entry >> 16) & 0x1FF) +
      static_cast<std::uint32_t>((window >> (64 - length_bits)) & ((entry >> 8) & 0xFF));
  const std::uint64_t x = window << length_bits;
  const auto code = static_cast<std::uint32_t>(x >> 59);
  // the bit count follows from the code alone, so the next code's lookup needn't wait for the
  // table load: codes 0-3 have no extra bits, code d >= 4 has d / 2 - 1
  const std::uint32_t dist_bits = 5 + (code >> 1) - (code >= 2);
  const DistanceEntry& d = kDistanceTable[code];
  const std::uint32_t distance = d.base + static_cast<std::uint32_t>((x >> (64 - d.bits)) & d.mask);
  return {length, distance, length_bits + dist_bits};
}

// The entry of the code after the literal at the top of `buf`. Both candidates (after 8 and after
// 9 bits) are looked up at once, so the lookup does not wait for the literal's own entry.
inline std::uint32_t EntryAfterLiteral(std::uint64_t buf, std::uint32_t entry) {
  const std::uint32_t after8 = kCodeTable[(buf << 8) >> 55];
  const std::uint32_t after9 = kCodeTable[(buf << 9) >> 55];
  return (entry & 0xFF) == 8 ? after8 : after9;
}

// The table of the match-rich loop, one entry per 12-bit prefix, for the codes it takes without
// a branch: a literal, or a match whose length code has no extra bits (lengths 3-11) and whose
// distance code, in the prefix too, means 9 or more. Bits 0-5: the code's bits, distance extra
// bits included; bits 6-9: bytes produced (1 for a literal), 0 for any other prefix; bits 10-15:
// 63 - the distance's extra-bit count; bits 16-31: the literal, or the distance base.
constexpr int kFastBits = 12;
constexpr int kFastShift = 64 - kFastBits;
constexpr std::uint32_t kProduced = 15u << 6;

constexpr std::array<std::uint32_t, 1u << kFastBits> BuildFastTable() {
  std::array<std::uint32_t, 1u << kFastBits> t{};
  for (std::uint32_t prefix = 0; prefix < t.size(); ++prefix) {
    const std::uint32_t top7 = prefix >> (kFastBits - 7);
    const std::uint32_t top8 = prefix >> (kFastBits - 8);
    const std::uint32_t top9 = prefix >> (kFastBits - 9);
    const std::uint32_t dcode = prefix & 31;
    if (top7 <= 8 && dcode >= 6) {
      const std::uint32_t extra = lz::kDistanceExtra[dcode];
      t[prefix] = (12 + extra) | (std::uint32_t{lz::kLengthBase[top7]} << 6) |
                  ((63 - extra) << 10) | (lz::kDistanceBase[dcode] << 16);
    } else if (top8 >= 0x30 && top8 <= 0xBF) {
      t[prefix] = 8 | (1u << 6) | (63u << 10) | ((top8 - 0x30) << 16);
    } else if (top8 >= 0xC8) {
      t[prefix] = 9 | (1u << 6) | (63u << 10) | ((top9 - 0x190 + 0x90) << 16);
    }  // else 0: a longer match, a match from 8 or fewer bytes back, or length code 30 or 31
  }
  return t;
}

constexpr std::array<std::uint32_t, 1u << kFastBits> kFastTable = BuildFastTable();

// Every byte value at its own offset: a literal's 16-byte "source" starts at its value.
constexpr std::array<std::uint8_t, 256 + 16> BuildByteValues() {
  std::array<std::uint8_t, 256 + 16> t{};
  for (std::size_t i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(i);
  return t;
}

alignas(64) constexpr std::array<std::uint8_t, 256 + 16> kByteValues = BuildByteValues();

// The 57+ stream bits from bit `pos` on, top-aligned; 8 bytes from pos / 8 must be readable.
inline std::uint64_t Window(const std::uint8_t* in, std::uint64_t pos) {
  return LoadBE64(in + (pos >> 3)) << (pos & 7);
}

// Copies a match of `length` bytes from `distance` back; may write up to 47 bytes past its end.
inline void CopyMatch(std::uint8_t* op, std::uint32_t length, std::size_t distance) {
  std::uint8_t* dst = op;
  const std::uint8_t* src = op - distance;
  std::uint8_t* const end = op + length;
  if (distance >= 16) {
    Copy16(dst, src);
    Copy16(dst + 16, src + 16);
    Copy16(dst + 32, src + 32);
    dst += 48;
    src += 48;
    while (dst < end) {
      Copy16(dst, src);
      dst += 16;
      src += 16;
    }
  } else if (distance >= 8) {
    do {
      StoreWord(dst, LoadWord(src));
      dst += 8;
      src += 8;
    } while (dst < end);
  } else if (distance == 1) {
    std::uint8_t run[16];
    std::memset(run, src[0], sizeof run);
    std::memcpy(dst, run, 16);
    std::memcpy(dst + 16, run, 16);
    std::memcpy(dst + 32, run, 16);
    dst += 48;
    while (dst < end) {
      std::memcpy(dst, run, 16);
      dst += 16;
    }
  } else {
    // each word puts `distance` correct bytes in place; the rest is rewritten next round
    do {
      StoreWord(dst, LoadWord(src));
      dst += distance;
      src += distance;
    } while (dst < end);
  }
}

// The fast loop's steps are plain functions on its locals: as lambdas capturing them by
// reference, the compiler kept the bit buffer in memory.
// Tops up `buf` to 56+ valid bits from `in`, which must have 8 readable bytes. Below the valid
// bits it leaves the leading bits of the next byte, which the next refill ORs in again.
inline void Refill(std::uint64_t& buf, std::size_t& bits, const std::uint8_t*& in) {
  buf |= LoadBE64(in) >> bits;
  in += (63 - bits) >> 3;
  bits |= 56;
}

// Writes the literal of `entry` and moves on to the next code's entry.
inline void Literal(std::uint64_t& buf, std::size_t& bits, std::uint32_t& entry,
                    std::uint8_t*& op) {
  const std::uint32_t next = EntryAfterLiteral(buf, entry);
  *op++ = static_cast<std::uint8_t>(entry >> 16);
  buf <<= entry & 0xFF;
  bits -= entry & 0xFF;
  entry = next;
}

// The stream bits from bit `p` on, top-aligned (57 or more); bytes at or past `size` read as 0.
inline std::uint64_t PeekTail(const std::uint8_t* in, std::uint64_t size, std::uint64_t p) {
  const std::uint64_t q = p >> 3;
  if (q + 8 <= size) return LoadBE64(in + q) << (p & 7);
  std::uint64_t v = 0;
  for (std::uint64_t i = 0; i < 8; ++i) {
    v = (v << 8) | (q + i < size ? in[q + i] : 0u);
  }
  return v << (p & 7);
}

// Room the fast loops need per round: two literals and a longest match, plus the block copy's
// overrun of up to 15 bytes past the match end (its first 48 bytes fit inside that too).
constexpr std::size_t kFastOutSlack = 2 + lz::kMaxMatch + 16;
static_assert(kFastOutSlack >= 2 + 48);

// Streams of more bits than this take the literal-rich loop: at 6 or more bits per byte of a full
// chunk, literals far outnumber matches.
constexpr std::uint64_t kLiteralRichBits = 6 * std::uint64_t{kLimit};

// The literal-rich loop. Each round refills once, at an `in` that still has 8 readable bytes, and
// then holds 56+ stream bits: enough for two literals and a match, or three literals. All of them
// start before the stream end, and the round's output stays clear of the 65536 limit. Returns
// false at length code 30 or 31, with `out` at the output so far; else leaves `pos` at the next
// code.
bool LiteralLoop(const std::uint8_t* input, std::uint64_t in_size, std::uint8_t* output,
                 std::uint8_t*& out, std::uint64_t& pos) {
  const std::uint8_t* in = input;
  std::uint8_t* op = out;
  std::size_t bits = 0;  // stream bits loaded from before `in` but not yet consumed
  const std::uint8_t* const in_fast_end = input + in_size - 8;
  // Next stream bits, most significant first. Below the `bits` valid ones sit the leading bits
  // of *in, which the next refill ORs in again; so after a refill the top 64 - n bits are
  // right once n bits are consumed, and n stays <= 50 between refills.
  std::uint64_t buf = 0;
  Refill(buf, bits, in);
  std::uint32_t entry = kCodeTable[buf >> 55];
  while (in <= in_fast_end && static_cast<std::size_t>(op - output) <= kLimit - kFastOutSlack) {
    if (entry & kLiteral) {
      Literal(buf, bits, entry, op);
      if (entry & kLiteral) {
        Literal(buf, bits, entry, op);
        if (entry & kLiteral) {
          Literal(buf, bits, entry, op);
          Refill(buf, bits, in);
          continue;
        }
      }
    }
    if (entry & kInvalid) {
      out = op;
      return false;
    }
    const Match m = CutMatch(buf, entry);
    buf <<= m.bits;
    bits -= m.bits;
    // the next code's 9 bits are already in place (see `buf`), so its lookup need not wait
    // for the refill, and both overlap the copy
    entry = kCodeTable[buf >> 55];
    Refill(buf, bits, in);
    if (m.distance > static_cast<std::size_t>(op - output)) continue;  // reaches before the block
    CopyMatch(op, m.length, m.distance);
    op += m.length;
  }
  out = op;
  pos = static_cast<std::uint64_t>(in - input) * 8 - bits;
  return true;
}

// The match-rich loop: one code per round, literals and short matches alike without a branch
// (a wrongly guessed literal-or-match branch costs more than the work it would skip). Each round
// starts at a `pos` with 12 readable bytes, so its code lies within the stream and the next
// window is readable, and with room for a longest match and its copy's overrun before the output
// limit. Same results as LiteralLoop; needs a stream of 12 bytes or more.
bool CodeLoop(const std::uint8_t* input, std::uint64_t in_size, std::uint8_t* output,
              std::uint8_t*& out, std::uint64_t& pos) {
  std::uint8_t* op = out;
  std::uint64_t p = pos;
  // a round moves on by at most 32 bits and then loads the next window there
  const std::uint64_t p_fast_end = (in_size - 8) * 8 - 32;
  std::uint8_t* const op_fast_end = output + (kLimit - kFastOutSlack);
  std::uint64_t win = Window(input, p);
  std::uint32_t e = kFastTable[win >> kFastShift];
  while (p <= p_fast_end && op <= op_fast_end) {
    if ((e & kProduced) == 0) {
      const std::uint32_t entry = kCodeTable[win >> 55];
      if (entry & kInvalid) {
        out = op;
        return false;
      }
      const Match m = CutMatch(win, entry);
      p += m.bits;  // at most 32, so the next code's 12 bits are in `win` already
      e = kFastTable[(win << m.bits) >> kFastShift];
      win = Window(input, p);
      if (m.distance <= static_cast<std::size_t>(op - output)) {
        CopyMatch(op, m.length, m.distance);
        op += m.length;
      }
      continue;
    }
    const std::uint32_t bits = e & 63;
    const std::uint32_t produced = (e >> 6) & 15;
    const auto extra = static_cast<std::uint32_t>(((win << kFastBits) >> 1) >> ((e >> 10) & 63));
    const std::size_t value = (e >> 16) + extra;  // a literal has no extra bits
    // all ones for a match: it produces more than one byte
    const auto match = static_cast<std::uint64_t>(
        static_cast<std::int64_t>(1 - static_cast<std::int64_t>(produced)) >> 63);
    // the next code's entry comes from this window, the next window meanwhile from memory
    const std::uint32_t next = kFastTable[(win << bits) >> kFastShift];
    p += bits;
    win = Window(input, p);
    e = next;
    if ((value & match) > static_cast<std::size_t>(op - output)) continue;  // before the block
    // a match copies 16 bytes from `value` back, a literal from kByteValues[value]; masks, not
    // branches, choose; word by word, so a distance of 9-15 repeats its pattern
    const auto lit = reinterpret_cast<std::uintptr_t>(kByteValues.data()) + value;
    const std::uintptr_t back = reinterpret_cast<std::uintptr_t>(op) - value;
    const auto* src = reinterpret_cast<const std::uint8_t*>(lit ^ ((lit ^ back) & match));
    StoreWord(op, LoadWord(src));
    StoreWord(op + 8, LoadWord(src + 8));
    op += produced;
  }
  out = op;
  pos = p;
  return true;
}

}  // namespace

tsmufflz::Result tsmufflz::DecodeBlock(const std::uint8_t* input, std::uint8_t* output,
                                       std::uint32_t& count) {
  const std::uint64_t total_bits = count;
  const std::uint64_t in_size = (total_bits + 7) / 8;
  std::uint8_t* op = output;
  std::uint64_t pos = 0;  // bits consumed

  // the match-rich loop's 64-bit masks and windows cost a 32-bit build more than its branches
  const bool match_rich = sizeof(std::uintptr_t) >= 8 && total_bits <= kLiteralRichBits;
  bool ok = true;
  if (match_rich && in_size >= 12) {
    ok = CodeLoop(input, in_size, output, op, pos);
  } else if (!match_rich && in_size >= 8) {
    ok = LiteralLoop(input, in_size, output, op, pos);
  }
  if (!ok) {
    count = static_cast<std::uint32_t>(op - output);
    return Result::kCorrupt;
  }

  // Careful loop: near the stream end (zero bits past the input) or near the output limit.
  std::uint64_t p = pos;
  std::size_t o = static_cast<std::size_t>(op - output);
  while (p < total_bits) {
    const std::uint64_t window = PeekTail(input, in_size, p);
    const std::uint32_t entry = kCodeTable[window >> 55];
    if (entry & kLiteral) {
      output[o++] = static_cast<std::uint8_t>(entry >> 16);
      if (o > kLimit) {
        count = kLimit;
        return Result::kOk;
      }
      p += entry & 0xFF;
      continue;
    }
    if (entry & kInvalid) {
      count = static_cast<std::uint32_t>(o);
      return Result::kCorrupt;
    }
    const Match m = CutMatch(window, entry);
    p += m.bits;
    if (m.distance > o) continue;
    // the first byte past the limit lands in the spare byte and ends the block
    const std::size_t n = m.length < kLimit + 1 - o ? m.length : kLimit + 1 - o;
    for (std::size_t i = 0; i < n; ++i, ++o) output[o] = output[o - m.distance];
    if (o > kLimit) {
      count = kLimit;
      return Result::kOk;
    }
  }
  count = static_cast<std::uint32_t>(o);
  return Result::kOk;
}

}  // namespace kestrel
