#include "decode/cipher.h"

#include <cstring>

namespace kestrel {
namespace {

// The schedule's initial words are the fractional hexadecimal digits of pi, computed here rather
// than carried (4 KB): 16 atan(1/5) - 4 atan(1/239) in fixed point. Limbs of 16 bits keep every
// division in 32-bit arithmetic (a remainder below the divisor, shifted, stays below 2^32); the
// sums are kept per limb and carried once at the end. Limb 0 is the integer part, and the limbs
// past the 2084 used absorb the truncations of the series.
constexpr int kPiLimbs = 1 + 2 * kCipherInitialWords + 4;

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

}  // namespace

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

void CipherInitialWords(std::uint32_t* words) {
  std::int32_t pi[kPiLimbs] = {};  // at most 9,300 terms of 16 bits each: no overflow
  std::uint16_t term[kPiLimbs];
  constexpr struct { std::uint16_t factor, m; } kArctans[] = {{16, 5}, {4, 239}};
  for (int a = 0; a < 2; ++a) {
    const std::uint32_t m = kArctans[a].m;
    std::memset(term, 0, sizeof term);
    term[0] = kArctans[a].factor;
    std::uint32_t r = 0;
    for (std::uint16_t& t : term) {  // factor / m^k for k = 1, 3, 5, ...
      const std::uint32_t v = r << 16 | t;
      t = static_cast<std::uint16_t>(v / m);
      r = v % m;
    }
    int first = 0;
    for (std::uint32_t k = 1;; k += 2) {
      while (first < kPiLimbs && term[first] == 0) ++first;
      if (first == kPiLimbs) break;
      // + - + - ... for the first series, the opposite for the subtracted one
      const bool subtract = ((k >> 1) & 1) != (a == 1);
      std::uint32_t rk = 0, rm = 0;
      for (int i = first; i < kPiLimbs; ++i) {
        const std::uint32_t vk = rk << 16 | term[i], vm = rm << 16 | term[i];
        const std::int32_t part = static_cast<std::int32_t>(vk / k);
        pi[i] += subtract ? -part : part;
        rk = vk % k;
        term[i] = static_cast<std::uint16_t>(vm / (m * m));
        rm = vm % (m * m);
      }
    }
  }
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

bool MakeCipherState(std::span<const std::uint8_t> key, CipherState& state) {
  if (key.empty() || key.size() > kMaxKeyBytes) return false;
  static_assert(sizeof(CipherState) == kCipherInitialWords * 4);
  std::uint32_t pi[kCipherInitialWords];
  CipherInitialWords(pi);
  std::memcpy(&state, pi, sizeof pi);
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
