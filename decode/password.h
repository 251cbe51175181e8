// Packages keyed by a password: the cipher key and a verifier derived from the password, and the
// password data (salt, iteration count, verifier) kept in the Package header's reserved bytes.
//
// One costly derivation, PBKDF2-HMAC-SHA256 of the password's UTF-8 bytes with a random salt,
// gives a 32-byte master secret; HKDF-Expand turns it into the 56-byte key of the block cipher and
// a separate 32-byte verifier under different labels. Checking a guess therefore costs an attacker
// the full iteration count, and the stored verifier says nothing about the key.
//
// Everything here is portable; package/protection.h keeps the password data in the Package header
// and checks a password against it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "decode/cipher.h"

namespace kestrel {

inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kVerifierBytes = 32;
// About half a second of derivation on a current PC (measured by `kestrel_password_bench`).
inline constexpr std::uint32_t kDefaultIterations = 1200000;
// A larger count in a package is refused, by setup and by the packer, rather than let each try
// hold setup for many seconds (about 4 s on a current PC, 8 times the default).
inline constexpr std::uint32_t kMaxIterations = 10000000;
// The only derivation scheme so far; the byte leads the item so another can follow.
inline constexpr std::uint8_t kPasswordSchemePbkdf2Sha256 = 1;
inline constexpr std::size_t kPasswordItemBytes = 1 + kSaltBytes + 4 + kVerifierBytes;

struct PasswordData {
  std::array<std::uint8_t, kSaltBytes> salt{};
  std::uint32_t iterations = 0;
  std::array<std::uint8_t, kVerifierBytes> verifier{};
};

// What a password yields; the destructor wipes it.
struct PasswordKey {
  std::array<std::uint8_t, kMaxKeyBytes> key{};
  std::array<std::uint8_t, kVerifierBytes> verifier{};
  PasswordKey() = default;
  PasswordKey(const PasswordKey&) = default;
  PasswordKey& operator=(const PasswordKey&) = default;
  ~PasswordKey();
};

PasswordKey DerivePasswordKey(std::string_view password_utf8,
                              std::span<const std::uint8_t, kSaltBytes> salt,
                              std::uint32_t iterations);

// The password in a password file's bytes: UTF-8 text of one line, a leading byte-order mark and
// the line's trailing CR and LF dropped. Nothing, with `problem` ("holds no password", "holds more
// than one line", "is not UTF-8 text"), for anything else.
std::optional<std::string> PasswordFromFileText(std::string_view bytes, std::string& problem);

// True for well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view text);

}  // namespace kestrel
