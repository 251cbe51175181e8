// The fixed LZ77 code of coded blocks, shared by the decoder and the packer's encoder.
//
// Literals 0x00-0x8F: 8-bit codes 0x30-0xBF. Literals 0x90-0xFF: 9-bit codes 0x190-0x1FF.
// Length codes 0-23: 7-bit codes 0x00-0x17. Length codes 24-31: 8-bit codes 0xC0-0xC7
// (30 and 31 are invalid). Bits are packed most significant first, extra bits too.
// A match: length code, its extra bits, a 5-bit distance code, its extra bits.
#pragma once

#include <cstdint>

namespace kestrel::lz {

inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 259;
inline constexpr int kMaxDistance = 65536;
inline constexpr int kLengthCodes = 30;  // 0..29 valid
inline constexpr int kDistanceCodes = 32;

inline constexpr std::uint16_t kLengthBase[kLengthCodes] = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  12,  14,  16,  18,  20,  24,
    28, 32, 36, 44, 52, 60, 68, 84, 100, 116, 132, 164, 196, 228, 259};
inline constexpr std::uint8_t kLengthExtra[kLengthCodes] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

inline constexpr std::uint32_t kDistanceBase[kDistanceCodes] = {
    1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
inline constexpr std::uint8_t kDistanceExtra[kDistanceCodes] = {
    0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// Code and bit length of a literal byte.
constexpr std::uint32_t LiteralCode(std::uint8_t b) {
  return b < 0x90 ? 0x30u + b : 0x190u + (b - 0x90u);
}
constexpr int LiteralBits(std::uint8_t b) {
  return b < 0x90 ? 8 : 9;
}
// Code and bit length of a length code 0..29.
constexpr std::uint32_t LengthCodeBits(int code) {
  return code < 24 ? static_cast<std::uint32_t>(code) : 0xC0u + (code - 24);
}
constexpr int LengthCodeLength(int code) {
  return code < 24 ? 7 : 8;
}

}  // namespace kestrel::lz
