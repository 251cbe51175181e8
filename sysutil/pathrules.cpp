#include "sysutil/pathrules.h"

#include <optional>

#include "sysutil/texts.h"

namespace kestrel {
namespace {

constexpr std::size_t kMaxPath = 260;  // units, with the terminating zero

char16_t FoldUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
  if (c == u'/') return u'\\';
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return char16_t(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A: pairs with the capital first, except the two runs that start odd
    const bool odd_first = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (odd_first) return (c % 2 == 0) ? char16_t(c - 1) : c;
    return (c % 2 == 1) ? char16_t(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return char16_t(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
  return c;
}

bool IsDevice(std::u16string_view name) {
  // Win32 ignores the extension and blanks before it: "nul .txt" is the device
  std::u16string base(name.substr(0, name.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (auto& c : base) c = FoldUnit(c);
  for (std::u16string_view d : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (base == d) return true;
  }
  if (base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT"))) {
    const char16_t n = base[3];
    return (n >= u'0' && n <= u'9') || n == 0xB9 || n == 0xB2 || n == 0xB3;
  }
  return false;
}

PathFault CheckUnits(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x20) return PathFault::kControlCharacter;
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000)
        return PathFault::kBrokenSurrogate;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return PathFault::kBrokenSurrogate;
    }
  }
  return PathFault::kNone;
}

PathFault CheckComponent(std::u16string_view part) {
  if (part.empty()) return PathFault::kEmptyComponent;
  if (part.find_first_of(u"<>:\"|?*") != std::u16string_view::npos)
    return PathFault::kReservedCharacter;
  if (part.find_first_not_of(u". ") == std::u16string_view::npos) {
    return part.find(u'.') != std::u16string_view::npos ? PathFault::kDotComponent
                                                        : PathFault::kTrailingDotOrBlank;
  }
  if (part.back() == u'.' || part.back() == u' ') return PathFault::kTrailingDotOrBlank;
  if (IsDevice(part)) return PathFault::kDeviceName;
  return PathFault::kNone;
}

}  // namespace

bool IsDriveLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

PathFault CheckPlainPath(std::u16string_view path) {
  if (path.empty()) return PathFault::kEmpty;
  if (PathFault f = CheckUnits(path); f != PathFault::kNone) return f;
  if (path.size() >= kMaxPath) return PathFault::kTooLong;
  if (path.size() < 2 || !IsDriveLetter(path[0]) || path[1] != u':') {
    return path.find(u'/') != std::u16string_view::npos && path.find(u'\\') == path.npos
               ? PathFault::kForwardSlash
               : PathFault::kNotLocal;
  }
  if (path.size() == 2 || path == std::u16string(path.substr(0, 2)) + u"\\")
    return PathFault::kDriveRoot;
  if (path[2] == u'/') return PathFault::kForwardSlash;
  if (path[2] != u'\\') return PathFault::kNotLocal;
  if (path.find(u'/') != std::u16string_view::npos) return PathFault::kForwardSlash;
  std::size_t start = 3;
  for (;;) {
    const std::size_t end = path.find(u'\\', start);
    const auto part = path.substr(start, end == path.npos ? path.npos : end - start);
    if (PathFault f = CheckComponent(part); f != PathFault::kNone) return f;
    if (end == path.npos) break;
    start = end + 1;
  }
  return PathFault::kNone;
}

PathFault CheckPlainName(std::u16string_view name) {
  if (name.empty()) return PathFault::kEmpty;
  if (PathFault f = CheckUnits(name); f != PathFault::kNone) return f;
  if (name.size() >= 256) return PathFault::kTooLong;
  if (name.find(u'/') != name.npos) return PathFault::kForwardSlash;
  if (name.find(u'\\') != name.npos) return PathFault::kNotLocal;
  return CheckComponent(name);
}

std::u16string PathFaultText(PathFault fault) {
  // in the order of PathFault, after kNone
  static constexpr TextId kTexts[] = {
      TextId::fault_empty,     TextId::fault_too_long,        TextId::fault_control,
      TextId::fault_surrogate, TextId::fault_not_local,       TextId::fault_slash,
      TextId::fault_reserved,  TextId::fault_empty_component, TextId::fault_dot,
      TextId::fault_trailing,  TextId::fault_device,          TextId::fault_drive_root,
  };
  static_assert(std::size(kTexts) == static_cast<std::size_t>(PathFault::kDriveRoot));
  if (fault == PathFault::kNone) return {};
  return Tr(kTexts[static_cast<std::size_t>(fault) - 1]);
}

std::u16string FoldPath(std::u16string_view path) {
  std::u16string out(path);
  for (auto& c : out) c = FoldUnit(c);
  return out;
}

std::u16string PrintablePath(std::u16string_view path) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out;
  for (char16_t c : path) {
    if (c < 0x20 || c == 0x7F) {
      out += u"[U+00";
      out.push_back(kHex[(c >> 4) & 0xF]);
      out.push_back(kHex[c & 0xF]);
      out.push_back(u']');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::u16string ProgramOfCommand(std::u16string_view command) {
  if (!command.empty() && command[0] == u'"') {
    const auto close = command.find(u'"', 1);
    // an unclosed quote names nothing the system would run as written
    if (close == std::u16string_view::npos) return {};
    return std::u16string(command.substr(1, close - 1));
  }
  return std::u16string(command.substr(0, command.find(u' ')));
}

std::u16string ShownProgram(std::u16string_view command) {
  const std::u16string program = ProgramOfCommand(command);
  return PrintablePath(program.empty() ? command : std::u16string_view(program));
}

namespace {

// `path` is `folder` (no ending separator) followed by plain names: compared folded, and no
// step after the folder may climb out of it again or be read as another name.
bool PathBelow(std::u16string_view path, std::u16string_view folder) {
  const std::u16string p = FoldPath(path), f = FoldPath(folder);
  if (p.size() <= f.size() + 1 || p.compare(0, f.size(), f) != 0 || p[f.size()] != u'\\')
    return false;
  std::size_t start = f.size() + 1;
  for (;;) {
    const std::size_t end = p.find(u'\\', start);
    if (CheckPlainName(path.substr(start, end == p.npos ? p.npos : end - start)) !=
        PathFault::kNone)
      return false;
    if (end == p.npos) return true;
    start = end + 1;
  }
}

// The folder without one ending separator, when it names a folder below a root: a root, an
// empty or relative text, a "." or ".." step, a repeated separator or a control character
// could stand for far more than one product's folder.
std::optional<std::u16string> FolderBelowRoot(std::u16string_view folder) {
  std::u16string f(folder);
  if (f.size() > 1 && f.back() == u'\\') f.pop_back();
  const std::u16string folded = FoldPath(f);
  std::size_t start = 0, least = 1;  // where the names begin, how many a folder needs
  if (folded.size() >= 3 && IsDriveLetter(folded[0]) && folded[1] == u':' && folded[2] == u'\\') {
    start = 3;
  } else if (folded.compare(0, 2, u"\\\\") == 0) {
    start = 2;
    least = 3;  // a server and a share, then a folder
  } else if (folded.compare(0, 1, u"\\") == 0) {
    start = 1;
  } else {
    return std::nullopt;
  }
  std::size_t names = 0;
  for (;;) {
    const std::size_t end = folded.find(u'\\', start);
    if (CheckPlainName(std::u16string_view(f).substr(
            start, end == f.npos ? f.npos : end - start)) != PathFault::kNone)
      return std::nullopt;
    ++names;
    if (end == f.npos) break;
    start = end + 1;
  }
  if (names < least) return std::nullopt;
  return f;
}

}  // namespace

bool ProgramInFolder(std::u16string_view command, std::u16string_view folder) {
  const std::optional<std::u16string> f = FolderBelowRoot(folder);
  return f && PathBelow(ProgramOfCommand(command), *f);
}

}  // namespace kestrel
