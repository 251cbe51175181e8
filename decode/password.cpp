#include "decode/password.h"

#include <string_view>

#include "decode/sha256.h"

namespace kestrel {
namespace {

constexpr std::string_view kKeyLabel = "Kestrel cipher key";
constexpr std::string_view kVerifierLabel = "Kestrel password verifier";

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

PasswordKey::~PasswordKey() {
  SecureZero(key.data(), key.size());
  SecureZero(verifier.data(), verifier.size());
}

PasswordKey DerivePasswordKey(std::string_view password_utf8,
                              std::span<const std::uint8_t, kSaltBytes> salt,
                              std::uint32_t iterations) {
  std::uint8_t master[kSha256Bytes];
  Pbkdf2HmacSha256(Bytes(password_utf8), salt, iterations, master);
  PasswordKey out;
  HkdfExpandSha256(master, Bytes(kKeyLabel), out.key);
  HkdfExpandSha256(master, Bytes(kVerifierLabel), out.verifier);
  SecureZero(master, sizeof master);
  return out;
}

// True for well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = 0;  // continuation bytes
    std::uint32_t v = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1, v = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, v = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, v = c & 0x07u;
    } else {
      return false;
    }
    if (s.size() - i - 1 < n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      v = v << 6 | (t & 0x3Fu);
    }
    if ((n == 2 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) ||
        (n == 3 && (v < 0x10000 || v > 0x10FFFF)))
      return false;
    i += n + 1;
  }
  return true;
}

// Opens the package the way the installer does; false with a message on `err`.
std::optional<std::string> PasswordFromFileText(std::string_view t, std::string& problem) {
  if (t.substr(0, 3) == "\xEF\xBB\xBF") t.remove_prefix(3);
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.remove_suffix(1);
  if (t.empty()) {
    problem = "holds no password";
  } else if (t.find_first_of("\r\n") != std::string_view::npos) {
    problem = "holds more than one line";
  } else if (t.find('\0') != std::string_view::npos || !IsUtf8(t)) {
    problem = "is not UTF-8 text";
  } else {
    return std::string(t);
  }
  return std::nullopt;
}

}  // namespace kestrel
