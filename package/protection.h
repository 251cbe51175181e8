// The password data (salt, iteration count, verifier) kept in the Package header's reserved bytes,
// and the check of a password against it. The wizard's password page, the packer and a silent
// install all use CheckPassword.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "decode/cipher.h"
#include "decode/password.h"
#include "package/extension.h"
#include "package/pkgfile.h"
#include "package/records.h"

namespace kestrel {

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

// How a package is protected, as setup decides before it shows its pages.
enum class PackageProtection {
  kPlain,       // not enciphered
  kPassword,    // enciphered, with password data
  kRawKey,      // enciphered without password data: only a raw key opens it
  kTooCostly,   // enciphered with password data that asks more than kMaxIterations
  kUnreadable,  // the Package header cannot be read (the engine reports that later)
};

// Reads the Package header at the Configuration record's `packageoffset` of an open file.
PackageProtection ReadPackageProtection(PackageFile& file, const ConfigRecord& config,
                                        PackageHeader& header);

}  // namespace kestrel
