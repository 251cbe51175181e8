// SHA-256, HMAC-SHA256, HKDF-Expand and PBKDF2-HMAC-SHA256: what turning a password into a cipher
// key needs, in a few hundred bytes of portable code, so the setup program stays small and needs
// no system crypto library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

inline constexpr std::size_t kSha256Bytes = 32;
inline constexpr std::size_t kSha256BlockBytes = 64;

class Sha256 {
 public:
  Sha256() { Reset(); }
  void Reset();
  void Update(const void* data, std::size_t size);
  void Update(std::span<const std::uint8_t> bytes) { Update(bytes.data(), bytes.size()); }
  // Writes the digest and leaves the object to be Reset.
  void Final(std::uint8_t out[kSha256Bytes]);

 private:
  friend class HmacSha256;
  void Compress(const std::uint8_t* block);

  std::uint32_t state_[8];
  std::uint64_t length_;  // bytes hashed so far
  std::uint8_t buffer_[kSha256BlockBytes];
};

// HMAC with SHA-256 (RFC 2104). The key's inner and outer pads are hashed once, so each further
// message costs only its own blocks: PBKDF2 restarts from these two states every iteration.
class HmacSha256 {
 public:
  explicit HmacSha256(std::span<const std::uint8_t> key);
  // A fresh MAC under the same key.
  void Start() { inner_ = inner_start_; }
  void Update(const void* data, std::size_t size) { inner_.Update(data, size); }
  void Final(std::uint8_t out[kSha256Bytes]);
  // Overwrites the key schedule, so no copy of the key outlives its use.
  ~HmacSha256();

 private:
  Sha256 inner_start_, outer_start_, inner_;
};

// PBKDF2 (RFC 8018) with HMAC-SHA256 as its pseudo-random function; `out` may be any length.
// `iterations` of 0 is taken as 1.
void Pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                      std::uint32_t iterations, std::span<std::uint8_t> out);

// HKDF-Expand (RFC 5869) with SHA-256: `out` (at most 255 * 32 bytes) from a pseudo-random key
// and a context text, so independent keys come from one expensive derivation.
void HkdfExpandSha256(std::span<const std::uint8_t> prk, std::span<const std::uint8_t> info,
                      std::span<std::uint8_t> out);

// True when the two ranges hold the same bytes; takes the same time wherever they differ.
bool EqualConstantTime(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// Zeroes memory in a way the compiler may not drop as a dead store.
void SecureZero(void* data, std::size_t size);

}  // namespace kestrel
