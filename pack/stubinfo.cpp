#include "pack/stubinfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "pack/writer.h"
#include "package/certtable.h"

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

namespace {

std::uint32_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0;
}
std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return at + 4 <= b.size() ? Le16(b, at) | Le16(b, at + 2) << 16 : 0;
}

// The file range of the application manifest resource, found through the resource directory
// (type 24, its first name, its first language); nothing when the headers do not lead there.
std::optional<std::pair<std::size_t, std::size_t>> ManifestRange(
    const std::vector<std::uint8_t>& b) {
  if (!IsPeExecutable(b)) return std::nullopt;
  const std::size_t pe = Le32(b, 0x3C);
  const std::size_t opt = pe + 24;
  const std::uint32_t magic = Le16(b, opt);
  const std::size_t dirs = opt + (magic == 0x20B ? 112 : 96);
  const std::uint32_t count = Le32(b, opt + (magic == 0x20B ? 108 : 92));
  if ((magic != 0x10B && magic != 0x20B) || count < 3) return std::nullopt;
  const std::uint32_t root = Le32(b, dirs + 2 * 8);
  const std::size_t sections = opt + Le16(b, pe + 20);
  const std::uint32_t nsections = Le16(b, pe + 6);
  // a virtual address as a file offset, when a section's raw data holds it
  auto offset = [&](std::uint32_t rva, std::size_t size) -> std::optional<std::size_t> {
    for (std::uint32_t i = 0; i < nsections; ++i) {
      const std::size_t s = sections + 40 * std::size_t{i};
      const std::uint32_t va = Le32(b, s + 12), raw = Le32(b, s + 16), at = Le32(b, s + 20);
      if (rva >= va && rva - va <= raw && size <= raw - (rva - va) &&
          std::size_t{at} + raw <= b.size()) {
        return std::size_t{at} + (rva - va);
      }
    }
    return std::nullopt;
  };
  // one level of the directory: the entry of `id`, or the first one when `id` is 0
  auto entry = [&](std::uint32_t dir, std::uint32_t id) -> std::optional<std::uint32_t> {
    const auto at = offset(root + dir, 16);
    if (!at) return std::nullopt;
    const std::uint32_t n = Le16(b, *at + 12) + Le16(b, *at + 14);
    for (std::uint32_t i = 0; i < n && i < 4096; ++i) {
      const auto e = offset(root + dir + 16 + 8 * i, 8);
      if (!e) return std::nullopt;
      if (id == 0 || Le32(b, *e) == id) return Le32(b, *e + 4);
    }
    return std::nullopt;
  };
  constexpr std::uint32_t kSubdirectory = 0x80000000u;
  const auto type = entry(0, 24);
  if (!type || !(*type & kSubdirectory)) return std::nullopt;
  const auto name = entry(*type & ~kSubdirectory, 0);
  if (!name || !(*name & kSubdirectory)) return std::nullopt;
  const auto lang = entry(*name & ~kSubdirectory, 0);
  if (!lang || (*lang & kSubdirectory)) return std::nullopt;
  const auto leaf = offset(root + *lang, 16);
  if (!leaf) return std::nullopt;
  const std::uint32_t size = Le32(b, *leaf + 4);
  const auto data = offset(Le32(b, *leaf), size);
  if (!data) return std::nullopt;
  return std::pair{*data, std::size_t{size}};
}

constexpr std::string_view kLevelAttribute = "level=\"";

}  // namespace

std::string RequestedExecutionLevel(const std::vector<std::uint8_t>& program) {
  const auto range = ManifestRange(program);
  if (!range) return {};
  const std::string_view text(reinterpret_cast<const char*>(program.data() + range->first),
                              range->second);
  const std::size_t element = text.find("requestedExecutionLevel");
  const std::size_t at = text.find(kLevelAttribute, element);
  if (element == std::string_view::npos || at == std::string_view::npos) return {};
  const std::size_t begin = at + kLevelAttribute.size();
  const std::size_t end = text.find('"', begin);
  return end == std::string_view::npos ? std::string()
                                       : std::string(text.substr(begin, end - begin));
}

bool RequestAsInvoker(std::vector<std::uint8_t>& program, std::string& error) {
  const std::string level = RequestedExecutionLevel(program);
  if (level == "asInvoker") return true;
  const auto range = ManifestRange(program);
  if (level.empty() || !range) {
    error = "it has no application manifest that names a requested execution level";
    return false;
  }
  char* text = reinterpret_cast<char*>(program.data() + range->first);
  const std::string_view view(text, range->second);
  const std::size_t at =
      view.find(kLevelAttribute, view.find("requestedExecutionLevel")) + kLevelAttribute.size();
  // the shorter name, its quote, and blanks where the longer name stood: XML takes blanks
  // between attributes, and the resource keeps its size
  const std::string value = "asInvoker\"";
  std::memcpy(text + at, value.data(), value.size());
  std::memset(text + at + value.size(), ' ', level.size() + 1 - value.size());
  PeSignatureFields f;
  if (ParsePeSignatureFields(program, f) && f.checksum != 0) {
    const std::size_t skip = static_cast<std::size_t>(f.checksum_at);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < program.size(); i += 2) {
      if (i >= skip && i < skip + 4) continue;
      sum += Le16(program, i) | (i + 1 == program.size() ? program[i] : 0);
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    const std::uint32_t checksum = static_cast<std::uint32_t>(sum + program.size());
    for (int k = 0; k < 4; ++k) program[skip + k] = static_cast<std::uint8_t>(checksum >> (8 * k));
  }
  return true;
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
