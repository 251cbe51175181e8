#include "package/protection.h"

#include <cstring>

#include "decode/sha256.h"

namespace kestrel {

std::optional<PasswordData> ReadPasswordData(const PackageHeader& header) {
  const auto view = ExtensionView::Parse(header.reserved2080);
  if (!view) return std::nullopt;
  const auto item = view->Find(HeaderTag::kPassword);
  if (!item || item->size() != kPasswordItemBytes || (*item)[0] != kPasswordSchemePbkdf2Sha256)
    return std::nullopt;
  PasswordData d;
  const std::uint8_t* p = item->data() + 1;
  std::memcpy(d.salt.data(), p, kSaltBytes);
  d.iterations = LoadLe32(p + kSaltBytes);
  std::memcpy(d.verifier.data(), p + kSaltBytes + 4, kVerifierBytes);
  if (d.iterations == 0 || d.iterations > kMaxIterations) return std::nullopt;
  return d;
}

bool AddPasswordData(ExtensionBuilder& builder, const PasswordData& data) {
  std::uint8_t item[kPasswordItemBytes];
  item[0] = kPasswordSchemePbkdf2Sha256;
  std::memcpy(item + 1, data.salt.data(), kSaltBytes);
  StoreLe32(item + 1 + kSaltBytes, data.iterations);
  std::memcpy(item + 1 + kSaltBytes + 4, data.verifier.data(), kVerifierBytes);
  return builder.Add(HeaderTag::kPassword, std::span<const std::uint8_t>(item));
}

PasswordCheck CheckPassword(const PackageHeader& header, std::string_view password_utf8,
                            std::array<std::uint8_t, kMaxKeyBytes>& key) {
  key.fill(0);
  const auto data = ReadPasswordData(header);
  if (!data) return PasswordCheck::kNoPasswordData;
  if (password_utf8.empty()) return PasswordCheck::kWrong;
  const PasswordKey derived = DerivePasswordKey(password_utf8, data->salt, data->iterations);
  if (!EqualConstantTime(derived.verifier, data->verifier)) return PasswordCheck::kWrong;
  key = derived.key;
  return PasswordCheck::kAccepted;
}

PackageProtection ReadPackageProtection(PackageFile& file, const ConfigRecord& config,
                                        PackageHeader& header) {
  std::uint32_t n = kPackageHeaderSize;
  if (file.ReadAt(&header, n, config.packageoffset) != kPackageHeaderSize)
    return PackageProtection::kUnreadable;
  if (header.encrypted != 1) return PackageProtection::kPlain;
  if (ReadPasswordData(header)) return PackageProtection::kPassword;
  // told apart from a raw key, so the user learns why this package cannot be opened
  const auto view = ExtensionView::Parse(header.reserved2080);
  const auto item = view ? view->Find(HeaderTag::kPassword) : std::nullopt;
  if (item && item->size() == kPasswordItemBytes && (*item)[0] == kPasswordSchemePbkdf2Sha256 &&
      LoadLe32(item->data() + 1 + kSaltBytes) > kMaxIterations) {
    return PackageProtection::kTooCostly;
  }
  return PackageProtection::kRawKey;
}

}  // namespace kestrel
