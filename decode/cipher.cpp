#include "decode/cipher.h"

#include <cstring>

namespace kestrel {
namespace {

inline std::uint32_t F(const CipherState& s, std::uint32_t x) {
  return ((s.S[0][x & 0xFF] + s.S[1][(x >> 8) & 0xFF]) ^ s.S[2][(x >> 16) & 0xFF]) +
         s.S[3][x >> 24];
}

inline std::uint32_t LoadLE(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void StoreLE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// pi in limbs of 16 bits, limb 0 the integer part; the limbs past the 2,084 used absorb the
// truncations of the series (about 2 units of the last limb per term, 10,000 terms).
constexpr int kPiLimbs = 1 + 2 * kCipherInitialWords + 3;
// Terms of a series taken in one pass over the limbs: their divisions are independent, so the
// processor overlaps them instead of waiting on one remainder at a time. Four: every pass starts
// at a k of 1 mod 8, a term that adds.
constexpr std::uint32_t kTermsPerPass = 4;

// A divisor below 2^16 with its reciprocal: a division by it is a multiplication and at most one
// correction (for dividends below 2^32, which a remainder shifted by a limb stays below).
struct Divisor {
  std::uint32_t d, inverse;
  explicit Divisor(std::uint32_t divisor) : d(divisor), inverse(0xFFFFFFFFu / divisor) {}
  // (rest:limb) / d, the remainder back in rest
  std::uint32_t Divide(std::uint32_t& rest, std::uint32_t limb) const {
    const std::uint32_t v = rest << 16 | limb;
    std::uint32_t q = static_cast<std::uint32_t>(std::uint64_t{v} * inverse >> 32);
    rest = v - q * d;  // q is the quotient or one less: corrected without a branch to mispredict
    const std::uint32_t over = rest >= d;
    rest -= d & (0 - over);
    return q + over;
  }
};

// Adds (or subtracts) factor * atan(1/m) = factor * (1/m - 1/3m^3 + 1/5m^5 - ...) to pi.
void AddArctan(std::int32_t* pi, std::uint16_t* term, std::uint32_t m, std::uint32_t factor,
               bool subtract) {
  const Divisor mm(m * m);
  std::uint32_t r = factor;
  for (int i = 0; i < kPiLimbs; ++i) {  // term = factor / m, then / m^2 per term
    term[i] = static_cast<std::uint16_t>(r / m);
    r = (r % m) << 16;
  }
  int first = 0;
  for (std::uint32_t k = 1;; k += 2 * kTermsPerPass) {
    while (first < kPiLimbs && term[first] == 0) ++first;
    if (first == kPiLimbs) return;
    const Divisor odd[kTermsPerPass] = {Divisor(k), Divisor(k + 2), Divisor(k + 4), Divisor(k + 6)};
    std::uint32_t rk[kTermsPerPass] = {}, rm[kTermsPerPass] = {};
    for (int i = first; i < kPiLimbs; ++i) {
      std::uint32_t t = term[i];
      std::int32_t sum = 0;  // the terms k, k+2, ... of the pass, + - + -
#ifndef __OPTIMIZE_SIZE__  // unrolled, about 15% faster; setup.exe keeps the loop (300 bytes less)
#pragma GCC unroll 4
#endif
      for (std::uint32_t j = 0; j < kTermsPerPass; ++j) {
        const std::int32_t q = static_cast<std::int32_t>(odd[j].Divide(rk[j], t));
        sum += j % 2 ? -q : q;
        t = mm.Divide(rm[j], t);
      }
      term[i] = static_cast<std::uint16_t>(t);
      pi[i] += subtract ? -sum : sum;  // |pi[i]| stays below 10,000 * 2^16
    }
  }
}

// The words are computed once per process, by its first key set up: a local static (setup.exe
// has its own small thread-safe guard, already used by others; a flag of our own came out larger).
void LoadInitialWords(CipherState& state) {
  static const struct Words {
    std::uint32_t w[kCipherInitialWords];
    Words() { CipherInitialWords(w); }
  } words;
  static_assert(sizeof state == sizeof words.w);
  std::memcpy(&state, words.w, sizeof state);
}

}  // namespace

// pi = 16 atan(1/5) - 4 atan(1/239), in fixed point.
void CipherInitialWords(std::uint32_t* words) {
  std::int32_t pi[kPiLimbs] = {};
  std::uint16_t term[kPiLimbs];
  AddArctan(pi, term, 5, 16, false);
  AddArctan(pi, term, 239, 4, true);
  std::int32_t carry = 0;
  for (int i = kPiLimbs - 1; i >= 0; --i) {
    const std::int32_t v = pi[i] + carry;
    pi[i] = v & 0xFFFF;
    carry = v >> 16;  // negative on a borrow
  }
  for (int i = 0; i < kCipherInitialWords; ++i)
    words[i] =
        static_cast<std::uint32_t>(pi[1 + 2 * i]) << 16 | static_cast<std::uint32_t>(pi[2 + 2 * i]);
}

void EncryptUnit(const CipherState& s, std::uint32_t& left, std::uint32_t& right) {
  std::uint32_t l = left, r = right;
  for (int i = 0; i < 16; ++i) {
    l ^= s.P[i];
    r ^= F(s, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= s.P[16];
  l ^= s.P[17];
  left = l;
  right = r;
}

void DecryptUnit(const CipherState& s, std::uint32_t& left, std::uint32_t& right) {
  std::uint32_t l = left, r = right;
  for (int i = 17; i >= 2; --i) {
    l ^= s.P[i];
    r ^= F(s, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= s.P[1];
  l ^= s.P[0];
  left = l;
  right = r;
}

bool MakeCipherState(std::span<const std::uint8_t> key, CipherState& state) {
  if (key.empty() || key.size() > kMaxKeyBytes) return false;
  LoadInitialWords(state);
  std::size_t k = 0;
  for (auto& p : state.P) {
    std::uint32_t word = 0;
    for (int b = 0; b < 4; ++b) {
      word = (word << 8) | key[k];
      k = (k + 1) % key.size();
    }
    p ^= word;
  }
  std::uint32_t l = 0, r = 0;
  for (int i = 0; i < 18; i += 2) {
    EncryptUnit(state, l, r);
    state.P[i] = l;
    state.P[i + 1] = r;
  }
  for (auto& box : state.S) {
    for (int i = 0; i < 256; i += 2) {
      EncryptUnit(state, l, r);
      box[i] = l;
      box[i + 1] = r;
    }
  }
  return true;
}

void EncipherPayload(const CipherState& state, std::uint8_t* data, std::size_t size,
                     std::uint32_t chainleft, std::uint32_t chainright) {
  std::uint32_t vl = chainleft, vr = chainright;
  for (std::size_t i = 0; i + kCipherUnit <= size; i += kCipherUnit) {
    std::uint32_t l = LoadLE(data + i) ^ vl, r = LoadLE(data + i + 4) ^ vr;
    EncryptUnit(state, l, r);
    StoreLE(data + i, l);
    StoreLE(data + i + 4, r);
    vl = l;
    vr = r;
  }
}

void DecipherPayload(const CipherState& state, std::uint8_t* data, std::size_t size,
                     std::uint32_t chainleft, std::uint32_t chainright) {
  std::uint32_t vl = chainleft, vr = chainright;
  for (std::size_t i = 0; i + kCipherUnit <= size; i += kCipherUnit) {
    const std::uint32_t cl = LoadLE(data + i), cr = LoadLE(data + i + 4);
    std::uint32_t l = cl, r = cr;
    DecryptUnit(state, l, r);
    StoreLE(data + i, l ^ vl);
    StoreLE(data + i + 4, r ^ vr);
    vl = cl;
    vr = cr;
  }
}

}  // namespace kestrel
