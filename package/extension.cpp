#include "package/extension.h"

#include <array>
#include <cstring>

#include "package/crc32_fold.h"

namespace kestrel {
namespace {

// Slice-by-8 tables: the package check runs over the whole package at start-up, so it must go at
// memory speed rather than a byte per table lookup. They are built at the first CRC (in a few
// microseconds) rather than stored: 8 KiB that setup.exe need not carry.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
const CrcTables& Tables() {
  static const CrcTables tables = [] {
    // read at run time, so the compiler cannot turn the tables back into stored data
    static volatile std::uint32_t polynomial = 0xEDB88320u;
    const std::uint32_t poly = polynomial;
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? poly ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
  }();
  return tables;
}
// Below this the tables are as quick as setting up the folding.
constexpr std::size_t kFoldMinimum = 256;

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const auto& t = Tables();
  crc = ~crc;
  // large runs by carry-less multiplication when the processor has it; same result
  if (size >= kFoldMinimum && HaveCrc32Fold()) {
    const std::size_t run = size & ~std::size_t{15};
    crc = Crc32Fold(p, run, crc);
    p += run;
    size -= run;
  }
  while (size >= 8) {
    std::uint32_t lo = LoadLe32(p) ^ crc;
    std::uint32_t hi = LoadLe32(p + 4);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size--) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

ExtensionState ExtensionView::Classify(std::span<const std::uint8_t> region) {
  if (region.size() < kExtensionMagic.size() ||
      std::memcmp(region.data(), kExtensionMagic.data(), kExtensionMagic.size()) != 0) {
    return ExtensionState::kAbsent;
  }
  return Parse(region) ? ExtensionState::kValid : ExtensionState::kDamaged;
}

std::optional<ExtensionView> ExtensionView::Parse(std::span<const std::uint8_t> region) {
  if (region.size() < kExtensionOverhead) return std::nullopt;
  if (std::memcmp(region.data(), kExtensionMagic.data(), 4) != 0) return std::nullopt;
  std::size_t length = region[4] | static_cast<std::size_t>(region[5]) << 8;
  if (length > region.size() - kExtensionOverhead) return std::nullopt;
  std::uint32_t stored = LoadLe32(region.data() + 6 + length);
  if (Crc32(region.data(), 6 + length) != stored) return std::nullopt;
  // Items must tile the payload exactly (or stop at a zero tag); anything else is damage.
  auto payload = region.subspan(6, length);
  std::size_t at = 0;
  while (at < payload.size() && payload[at] != 0) {
    if (payload.size() - at < kExtensionItemOverhead) return std::nullopt;
    std::size_t n = payload[at + 1] | static_cast<std::size_t>(payload[at + 2]) << 8;
    if (n > payload.size() - at - kExtensionItemOverhead) return std::nullopt;
    at += kExtensionItemOverhead + n;
  }
  return ExtensionView(payload);
}

std::optional<std::span<const std::uint8_t>> ExtensionView::Find(std::uint8_t tag) const {
  std::size_t at = 0;
  while (at < payload_.size() && payload_[at] != 0) {
    std::size_t n = payload_[at + 1] | static_cast<std::size_t>(payload_[at + 2]) << 8;
    if (payload_[at] == tag) return payload_.subspan(at + kExtensionItemOverhead, n);
    at += kExtensionItemOverhead + n;
  }
  return std::nullopt;
}

bool ExtensionBuilder::Add(std::uint8_t tag, std::span<const std::uint8_t> bytes) {
  if (tag == 0 || bytes.size() > 0xFFFF) return false;
  std::size_t need = kExtensionItemOverhead + bytes.size();
  if (region_.size() < kExtensionOverhead || used_ + need > region_.size() - kExtensionOverhead)
    return false;
  std::uint8_t* p = region_.data() + 6 + used_;
  p[0] = tag;
  p[1] = static_cast<std::uint8_t>(bytes.size());
  p[2] = static_cast<std::uint8_t>(bytes.size() >> 8);
  if (!bytes.empty()) std::memcpy(p + 3, bytes.data(), bytes.size());
  used_ += need;
  return true;
}

void ExtensionBuilder::Finish() {
  if (used_ == 0) {
    std::memset(region_.data(), 0, region_.size());
    return;
  }
  std::memcpy(region_.data(), kExtensionMagic.data(), 4);
  region_[4] = static_cast<std::uint8_t>(used_);
  region_[5] = static_cast<std::uint8_t>(used_ >> 8);
  StoreLe32(region_.data() + 6 + used_, Crc32(region_.data(), 6 + used_));
  std::size_t end = kExtensionOverhead + used_;
  std::memset(region_.data() + end, 0, region_.size() - end);
}

}  // namespace kestrel
