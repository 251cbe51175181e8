#include "decode/sha256.h"

#include <cstring>

namespace kestrel {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t Rotr(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

inline std::uint32_t LoadBe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

inline void StoreBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

void Sha256::Reset() {
  std::memcpy(state_, kInitial, sizeof state_);
  length_ = 0;
}

void Sha256::Compress(const std::uint8_t* block) {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = LoadBe32(block + 4 * i);
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4],
                f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    // the schedule lives in a ring of 16 words, each replaced once it has been used
    if (i >= 16) {
      const std::uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
      w[i & 15] += (Rotr(w15, 7) ^ Rotr(w15, 18) ^ (w15 >> 3)) + w[(i - 7) & 15] +
                   (Rotr(w2, 17) ^ Rotr(w2, 19) ^ (w2 >> 10));
    }
    const std::uint32_t t1 =
        h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i & 15];
    const std::uint32_t t2 =
        (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void Sha256::Update(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t used = static_cast<std::size_t>(length_ % kSha256BlockBytes);
  length_ += size;
  if (used) {
    const std::size_t take = size < kSha256BlockBytes - used ? size : kSha256BlockBytes - used;
    std::memcpy(buffer_ + used, p, take);
    p += take;
    size -= take;
    if (used + take < kSha256BlockBytes) return;
    Compress(buffer_);
  }
  for (; size >= kSha256BlockBytes; p += kSha256BlockBytes, size -= kSha256BlockBytes) Compress(p);
  if (size) std::memcpy(buffer_, p, size);
}

void Sha256::Final(std::uint8_t out[kSha256Bytes]) {
  const std::uint64_t bits = length_ * 8;
  std::size_t used = static_cast<std::size_t>(length_ % kSha256BlockBytes);
  buffer_[used++] = 0x80;
  if (used > kSha256BlockBytes - 8) {
    std::memset(buffer_ + used, 0, kSha256BlockBytes - used);
    Compress(buffer_);
    used = 0;
  }
  std::memset(buffer_ + used, 0, kSha256BlockBytes - 8 - used);
  StoreBe32(buffer_ + 56, static_cast<std::uint32_t>(bits >> 32));
  StoreBe32(buffer_ + 60, static_cast<std::uint32_t>(bits));
  Compress(buffer_);
  for (int i = 0; i < 8; ++i) StoreBe32(out + 4 * i, state_[i]);
}

HmacSha256::HmacSha256(std::span<const std::uint8_t> key) {
  std::uint8_t pad[kSha256BlockBytes] = {};
  if (key.size() > kSha256BlockBytes) {
    Sha256 h;
    h.Update(key);
    h.Final(pad);
  } else if (!key.empty()) {
    std::memcpy(pad, key.data(), key.size());
  }
  for (auto& b : pad) b ^= 0x36;
  inner_start_.Update(pad, sizeof pad);
  for (auto& b : pad) b ^= 0x36 ^ 0x5c;
  outer_start_.Update(pad, sizeof pad);
  SecureZero(pad, sizeof pad);
  inner_ = inner_start_;
}

HmacSha256::~HmacSha256() {
  SecureZero(this, sizeof *this);
}

void HmacSha256::Final(std::uint8_t out[kSha256Bytes]) {
  std::uint8_t inner[kSha256Bytes];
  inner_.Final(inner);
  Sha256 outer = outer_start_;
  outer.Update(inner, sizeof inner);
  outer.Final(out);
  SecureZero(&outer, sizeof outer);
}

void Pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                      std::uint32_t iterations, std::span<std::uint8_t> out) {
  HmacSha256 mac(password);
  std::uint8_t u[kSha256Bytes], t[kSha256Bytes];
  for (std::uint32_t index = 1; !out.empty(); ++index) {
    std::uint8_t counter[4];
    StoreBe32(counter, index);
    mac.Start();
    mac.Update(salt.data(), salt.size());
    mac.Update(counter, sizeof counter);
    mac.Final(u);
    std::memcpy(t, u, sizeof t);
    for (std::uint32_t i = 1; i < iterations; ++i) {
      mac.Start();
      mac.Update(u, sizeof u);
      mac.Final(u);
      for (std::size_t k = 0; k < kSha256Bytes; ++k) t[k] ^= u[k];
    }
    const std::size_t n = out.size() < kSha256Bytes ? out.size() : kSha256Bytes;
    std::memcpy(out.data(), t, n);
    out = out.subspan(n);
  }
  SecureZero(u, sizeof u);
  SecureZero(t, sizeof t);
}

void HkdfExpandSha256(std::span<const std::uint8_t> prk, std::span<const std::uint8_t> info,
                      std::span<std::uint8_t> out) {
  HmacSha256 mac(prk);
  std::uint8_t t[kSha256Bytes] = {};
  std::size_t have = 0;  // bytes of the previous block T(i-1) that go into the next
  for (std::uint8_t counter = 1; !out.empty() && counter != 0; ++counter) {
    mac.Start();
    mac.Update(t, have);
    mac.Update(info.data(), info.size());
    mac.Update(&counter, 1);
    mac.Final(t);
    have = kSha256Bytes;
    const std::size_t n = out.size() < kSha256Bytes ? out.size() : kSha256Bytes;
    std::memcpy(out.data(), t, n);
    out = out.subspan(n);
  }
  SecureZero(t, sizeof t);
}

bool EqualConstantTime(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.size() != b.size()) return false;
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ b[i];
  // read through a volatile so the loop cannot be cut short at the first difference
  volatile std::uint8_t result = diff;
  return result == 0;
}

void SecureZero(void* data, std::size_t size) {
  volatile auto* p = static_cast<volatile std::uint8_t*>(data);
  while (size--) *p++ = 0;
}

}  // namespace kestrel
