#include "sysutil/cmfunit.h"

#include <cstdint>

#include "sysutil/codepage.h"

namespace kestrel {
namespace {

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Upper(c);
  return out;
}

}  // namespace

std::string EncodeLetterHex(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 4);
  for (char16_t u : text) {
    for (int shift = 12; shift >= 0; shift -= 4)
      out.push_back(static_cast<char>('A' + ((u >> shift) & 0xF)));
  }
  return out;
}

std::u16string DecodeLetterHex(std::string_view letters) {
  if (letters.size() % 4 != 0) return {};
  std::u16string out;
  out.reserve(letters.size() / 4);
  for (std::size_t i = 0; i < letters.size(); i += 4) {
    std::uint32_t u = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      // unchecked, as stored values are only ever written by EncodeLetterHex
      u = (u << 4) |
          ((static_cast<std::uint32_t>(static_cast<std::uint8_t>(letters[i + k])) - 65u) & 0xFFFFu);
    }
    out.push_back(static_cast<char16_t>(u));
  }
  return out;
}

std::u16string CleanFileName(std::u16string_view text) {
  std::u16string kept;
  kept.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'\\':
      case u'/':
      case u':':
      case u'*':
      case u'?':
      case u'"':
      case u'<':
      case u'>':
      case u'|':
        break;
      default:
        kept.push_back(c);
    }
  }
  // as UTF-16: a name in any script names its link file exactly (an 8-bit name is unchanged)
  return kept;
}

bool MatchTitlePattern(std::string_view pattern, std::string_view title) {
  const std::string p = UpperAscii(pattern);
  const std::string t = UpperAscii(title);
  auto star = p.find('*');
  if (star == std::string::npos) return p == t;
  if (p.empty() || t.empty()) return false;

  // A fixed head must start the title, a fixed tail must end it, and the segments between
  // must occur in order without overlapping each other or the head and tail.
  std::size_t last = p.rfind('*');
  std::string_view head(p.data(), star);
  std::string_view tail(p.data() + last + 1, p.size() - last - 1);
  if (head.size() + tail.size() > t.size()) return false;
  if (t.compare(0, head.size(), head) != 0) return false;
  if (t.compare(t.size() - tail.size(), tail.size(), tail) != 0) return false;

  std::size_t tpos = head.size();
  const std::size_t tend = t.size() - tail.size();
  std::size_t ppos = star + 1;
  while (ppos < last) {
    std::size_t next = p.find('*', ppos);
    std::string_view seg(p.data() + ppos, next - ppos);
    ppos = next + 1;
    if (seg.empty()) continue;
    std::size_t found = t.find(seg, tpos);
    if (found == std::string::npos || found + seg.size() > tend) return false;
    tpos = found + seg.size();
  }
  return true;
}

bool MatchTitleHead(std::string_view pattern, std::string_view title) {
  if (!pattern.empty() && pattern.back() == '*') pattern.remove_suffix(1);
  if (pattern.empty() || title.size() < pattern.size()) return false;
  return UpperAscii(title.substr(0, pattern.size())) == UpperAscii(pattern);
}

bool IsDeviceName(std::string_view path) {
  if (path.size() < 3) return false;
  const std::string up = UpperAscii(path);
  static constexpr std::string_view kWhole[] = {"COM1", "COM2", "COM3", "COM4", "LPT1",
                                                "LPT2", "LPT3", "LPT4", "LPT5", "LPT6",
                                                "LPT7", "LPT8", "LPT9", "AUX"};
  for (auto name : kWhole) {
    if (up == name) return true;
  }
  if (up.size() >= 5) {
    char c = up.back();
    std::string_view s(up.data() + up.size() - 5, 4);
    if (s == "\\COM" && c >= '1' && c <= '4') return true;
    if (s == "\\LPT" && c >= '1' && c <= '9') return true;
  }
  if (up.size() >= 4 && std::string_view(up).substr(up.size() - 4) == "\\AUX") return true;
  return false;
}

bool InNativeRegistryView(std::string_view machinekey) {
  constexpr std::string_view kAppPaths = "software\\microsoft\\windows\\currentversion\\app paths";
  if (machinekey.size() < kAppPaths.size()) return false;
  for (std::size_t i = 0; i < kAppPaths.size(); ++i) {
    char c = machinekey[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kAppPaths[i]) return false;
  }
  return machinekey.size() == kAppPaths.size() || machinekey[kAppPaths.size()] == '\\';
}

}  // namespace kestrel
