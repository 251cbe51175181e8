// Test helpers: the smallest PE headers that carry a certificate-table entry, and signed files
// made from them (the "table" is filler; nothing here checks a signature).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "package/directory.h"
#include "package/extension.h"
#include "package/solid.h"

namespace kestrel::testing {

inline constexpr std::uint32_t kLfanew = 0x80;
inline constexpr std::uint32_t kOpt = kLfanew + 24;

inline std::uint32_t DirsAt(bool plus) {
  return kOpt + (plus ? 112 : 96);
}

// DOS header, "PE\0\0", COFF header and an optional header with 16 empty directory entries.
inline std::vector<std::uint8_t> MinimalPe(bool plus, std::size_t size = 4096) {
  std::vector<std::uint8_t> b(size, 0x5A);
  b[0] = 'M';
  b[1] = 'Z';
  StoreLe32(&b[0x3C], kLfanew);
  std::memcpy(&b[kLfanew], "PE\0\0", 4);
  const std::uint16_t optsize = plus ? 240 : 224;
  b[kLfanew + 4 + 16] = static_cast<std::uint8_t>(optsize);
  b[kLfanew + 4 + 17] = 0;
  b[kOpt] = 0x0B;
  b[kOpt + 1] = plus ? 0x02 : 0x01;
  StoreLe32(&b[kOpt + 64], 0x1234);  // CheckSum
  StoreLe32(&b[kOpt + (plus ? 108 : 92)], 16);
  std::memset(&b[DirsAt(plus)], 0, 16 * 8);
  // as a current setup.exe does, it says it reads the compact directory and LZMA2
  const std::string_view mark = kCompactDirectoryCapability;
  if (size >= 0x300 + mark.size()) std::memcpy(&b[0x300], mark.data(), mark.size());
  if (size >= 0x340 + kLzma2Capability.size())
    std::memcpy(&b[0x340], kLzma2Capability.data(), kLzma2Capability.size());
  return b;
}

inline void SetCertEntry(std::vector<std::uint8_t>& b, bool plus, std::uint32_t address,
                         std::uint32_t size) {
  StoreLe32(&b[DirsAt(plus) + 32], address);
  StoreLe32(&b[DirsAt(plus) + 36], size);
}

// A signed file: the PE, then a table of `table` bytes, then `tail` bytes of `fill`.
inline std::vector<std::uint8_t> Signed(bool plus, std::uint32_t table, std::size_t tail = 0,
                                        std::uint8_t fill = 0) {
  auto b = MinimalPe(plus);
  const auto address = static_cast<std::uint32_t>(b.size());
  SetCertEntry(b, plus, address, table);
  b.resize(b.size() + table, 0x30);
  b.resize(b.size() + tail, fill);
  return b;
}

}  // namespace kestrel::testing
