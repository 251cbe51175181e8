// Packages keyed by a password: the cipher key and a verifier derived from the password, and the
// password data (salt, iteration count, verifier) kept in the Package header's reserved bytes.
//
// One costly derivation, PBKDF2-HMAC-SHA256 of the password's UTF-8 bytes with a random salt,
// gives a 32-byte master secret; HKDF-Expand turns it into the 56-byte key of the block cipher and
// a separate 32-byte verifier under different labels. Checking a guess therefore costs an attacker
// the full iteration count, and the stored verifier says nothing about the key.
//
// Everything here is portable: the wizard's password page, the packer and a silent install all
// use CheckPassword.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "decode/cipher.h"
#include "package/extension.h"
#include "package/pkgfile.h"
#include "package/records.h"

namespace kestrel {

inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kVerifierBytes = 32;
// About half a second of derivation on a current PC (measured by `kestrel_password_bench`).
inline constexpr std::uint32_t kDefaultIterations = 1200000;
// A larger count in a package is refused rather than let it hold setup for minutes.
inline constexpr std::uint32_t kMaxIterations = 20000000;
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

// The password data in the Package header, or nothing when its reserved bytes hold none (zeros
// from an older packer, noise, damage, an unknown scheme or an iteration count out of range).
std::optional<PasswordData> ReadPasswordData(const PackageHeader& header);
// Adds the data as the header's HeaderTag::kPassword item; false when it does not fit.
bool AddPasswordData(ExtensionBuilder& builder, const PasswordData& data);

enum class PasswordCheck {
  kAccepted,        // `key` holds the cipher key
  kNoPasswordData,  // the header has no password data to check against
  kWrong,           // the verifier does not match (an empty password never does)
};

// Derives from the password with the header's salt and count and compares the verifier in
// constant time. On kAccepted `key` receives the cipher key; otherwise it is left zeroed.
PasswordCheck CheckPassword(const PackageHeader& header, std::string_view password_utf8,
                            std::array<std::uint8_t, kMaxKeyBytes>& key);

// The password in a password file's bytes: UTF-8 text of one line, a leading byte-order mark and
// the line's trailing CR and LF dropped. Nothing, with `problem` ("holds no password", "holds more
// than one line", "is not UTF-8 text"), for anything else.
std::optional<std::string> PasswordFromFileText(std::string_view bytes, std::string& problem);

// True for well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view text);

// How a package is protected, as setup decides before it shows its pages.
enum class PackageProtection {
  kPlain,       // not enciphered
  kPassword,    // enciphered, with password data
  kRawKey,      // enciphered without password data: only a raw key opens it
  kUnreadable,  // the Package header cannot be read (the engine reports that later)
};

// Reads the Package header at the Configuration record's `packageoffset` of an open file.
PackageProtection ReadPackageProtection(PackageFile& file, const ConfigRecord& config,
                                        PackageHeader& header);

}  // namespace kestrel
