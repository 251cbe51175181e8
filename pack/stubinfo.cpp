#include "pack/stubinfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <string_view>

#include "pack/writer.h"

namespace kestrel::pack {

StubInfo DescribeStub(const std::vector<std::uint8_t>& b) {
  StubInfo info;
  info.pe = IsPeExecutable(b);
  if (!info.pe) return info;
  info.compact = StubReadsCompactDirectory(b);
  info.lzma2 = StubReadsLzma2(b);
  const std::size_t lfanew = static_cast<std::size_t>(b[0x3C]) | (b[0x3D] << 8) | (b[0x3E] << 16) |
                             (static_cast<std::size_t>(b[0x3F]) << 24);
  const unsigned machine = lfanew + 6 <= b.size() ? b[lfanew + 4] | (b[lfanew + 5] << 8) : 0;
  switch (machine) {
    case 0x014C:
      info.machine = "i686";
      break;
    case 0x8664:
      info.machine = "x86_64";
      break;
    case 0xAA64:
      info.machine = "arm64";
      break;
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "machine 0x%04X", machine);
      info.machine = text;
    }
  }
  // the application manifest is stored as plain text among the resources
  constexpr std::string_view kIdentity = "name=\"Kestrel\" version=\"";
  const auto at = std::search(
      b.begin(), b.end(), std::boyer_moore_horspool_searcher(kIdentity.begin(), kIdentity.end()));
  if (at != b.end()) {
    for (auto p = at + static_cast<std::ptrdiff_t>(kIdentity.size());
         p != b.end() && info.version.size() < 24 && (std::isdigit(*p) || *p == '.'); ++p) {
      info.version.push_back(static_cast<char>(*p));
    }
  }
  return info;
}

std::string StubSummary(const StubInfo& info) {
  if (!info.pe) return "not a PE executable";
  std::string text =
      "Kestrel setup " + (info.version.empty() ? "of unknown version" : info.version);
  text += ", " + info.machine;
  text += info.compact ? ", reads compact directories" : ", classic directories only";
  text += info.lzma2 ? " and lzma2" : ", classic codec only";
  return text;
}

}  // namespace kestrel::pack
