// The block cipher of enciphered packages: Blowfish's Feistel network with this format's byte
// order (little-endian halves; the first S-box indexed by the lowest byte of x), in
// cipher-block-chaining mode with the chain restarting at every block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

struct CipherState {
  std::uint32_t P[18];
  std::uint32_t S[4][256];
};

inline constexpr std::size_t kCipherUnit = 8;
inline constexpr std::size_t kMaxKeyBytes = 56;

// The key schedule's initial words (P, then the four S-boxes): pi's fractional hexadecimal
// digits, 8 to a word, computed rather than carried (4 KB of setup.exe).
inline constexpr int kCipherInitialWords = 18 + 4 * 256;
void CipherInitialWords(std::uint32_t* words);

// Builds the cipher state from a key of 1 to 56 bytes with the Blowfish key schedule (run with
// this format's encipher function). False, and the state untouched, for any other key length.
bool MakeCipherState(std::span<const std::uint8_t> key, CipherState& state);

void EncryptUnit(const CipherState& state, std::uint32_t& left, std::uint32_t& right);
void DecryptUnit(const CipherState& state, std::uint32_t& left, std::uint32_t& right);

// CBC over `size` bytes (a multiple of 8) in place, starting the chain from (chainleft,
// chainright). A trailing part shorter than a unit is left alone; payloads never have one.
void EncipherPayload(const CipherState& state, std::uint8_t* data, std::size_t size,
                     std::uint32_t chainleft, std::uint32_t chainright);
void DecipherPayload(const CipherState& state, std::uint8_t* data, std::size_t size,
                     std::uint32_t chainleft, std::uint32_t chainright);

}  // namespace kestrel
