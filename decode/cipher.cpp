#include "decode/cipher.h"

#include <cstring>

#include "decode/cipher_tables.h"

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

bool MakeCipherState(std::span<const std::uint8_t> key, CipherState& state) {
  if (key.empty() || key.size() > kMaxKeyBytes) return false;
  const auto& pi = cipher_tables::kPiWords;
  std::memcpy(state.P, pi, sizeof state.P);
  std::memcpy(state.S, pi + 18, sizeof state.S);
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
