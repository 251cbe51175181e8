#include "pack/manifest.h"

#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "pack/hostio.h"
#include "pack/pathtext.h"
#include "pack/tools.h"
#include "pack/translations.h"
#include "package/extension.h"
#include "package/identity.h"
#include "package/records.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/winname.h"

namespace kestrel::pack {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kMaxServices = 5;
constexpr std::size_t kMaxShortcuts = 6;
constexpr std::size_t kShortTextRoom = 255;
constexpr std::size_t kVersionRoom = 64;

// Collects the first error; every check below returns false once one is set.
struct Checker {
  std::string& error;
  bool Fail(std::string text) {
    if (error.empty()) error = std::move(text);
    return false;
  }
};

bool CheckKeys(const toml::table& table, std::initializer_list<std::string_view> allowed,
               std::string_view where, Checker& c) {
  for (const auto& [key, value] : table) {
    if (std::find(allowed.begin(), allowed.end(), key.str()) == allowed.end()) {
      return c.Fail(std::string(where) + ": unknown key \"" + std::string(key.str()) + "\"");
    }
  }
  return true;
}

// A string value or nothing; a value of another type is an error.
bool GetString(const toml::table& table, std::string_view key, std::string_view where,
               std::optional<std::string>& out, Checker& c) {
  const toml::node* node = table.get(key);
  if (!node) return true;
  if (!node->is_string()) {
    return c.Fail(std::string(where) + ": \"" + std::string(key) + "\" must be a string");
  }
  out = node->as_string()->get();
  return true;
}

// A short text of the Configuration record: Windows-1252, at most `room` bytes.
bool ShortText(const std::string& utf8, std::string_view field, std::size_t room, std::string& out,
               Checker& c) {
  bool lossless = true;
  out = ToCp1252(Utf8ToUtf16(utf8), &lossless);
  if (!lossless) {
    return c.Fail(std::string(field) + ": \"" + utf8 +
                  "\" holds a character that Windows-1252 cannot represent");
  }
  if (out.size() > room) {
    return c.Fail(std::string(field) + " is " + std::to_string(out.size()) +
                  " bytes long; the field holds at most " + std::to_string(room));
  }
  return true;
}

// A name of the product, in any script. The 8-bit field gets its Windows-1252 form for older
// readers, with "_" for a character that code page lacks (a "?" would make a folder name
// invalid); a name that is not plain ASCII is also kept as UTF-16, which setup prefers, since
// setup reads 8-bit fields in the system's own code page.
bool NameText(const std::string& utf8, std::string_view field, std::size_t room, std::string& out,
              std::u16string& wide, Checker& c) {
  const std::u16string text = Utf8ToUtf16(utf8);
  if (text.find(u'\uFFFD') != std::u16string::npos) {
    return c.Fail(std::string(field) + ": \"" + utf8 + "\" is not valid UTF-8");
  }
  if (text.size() > room) {
    return c.Fail(std::string(field) + " is " + std::to_string(text.size()) +
                  " characters long; the field holds at most " + std::to_string(room));
  }
  out.clear();
  for (char16_t u : text) {
    bool lossless = true;
    const std::string one = ToCp1252(std::u16string_view(&u, 1), &lossless);
    out += lossless ? one : std::string("_");
  }
  wide.clear();
  for (char16_t u : text) {
    if (u >= 0x80) wide = text;
  }
  return true;
}

// A name Windows creates as given: see CheckNameComponent (reserved characters, a trailing dot or
// blank, device names such as NUL or COM1, more than 255 units).
bool CheckName(std::u16string_view name, std::string_view what, Checker& c) {
  const std::string shown = Printable(name);
  if (name.empty()) return c.Fail(std::string(what) + ": empty name");
  if (name.find(u'\uFFFD') != std::u16string_view::npos) {
    return c.Fail(std::string(what) + ": \"" + shown + "\" is not valid UTF-8");
  }
  const NameFault fault = CheckNameComponent(name);
  if (fault != NameFault::kNone) {
    return c.Fail(std::string(what) + ": \"" + shown + "\" " + NameFaultText(fault));
  }
  return true;
}

std::vector<std::string> SplitPath(std::string_view text) {
  std::vector<std::string> parts;
  std::string cur;
  for (char ch : text) {
    if (ch == '/' || ch == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(ch);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

// "a/b", "\a\b\" and "/a" all become "\a\b"; "" and "." become "".
bool FolderText(std::string_view text, std::string_view what, std::u16string& out, Checker& c) {
  out.clear();
  for (const auto& part : SplitPath(text)) {
    if (part == ".") continue;
    if (part == "..") return c.Fail(std::string(what) + ": \"..\" is not allowed");
    const std::u16string wide = Utf8ToUtf16(part);
    if (!CheckName(wide, what, c)) return false;
    out += u'\\';
    out += wide;
  }
  if (out.size() > kWideTextUnits) {
    return c.Fail(std::string(what) + " is longer than " + std::to_string(kWideTextUnits) +
                  " UTF-16 units");
  }
  return true;
}

bool WildMatch(std::string_view pat, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pat.size() && (pat[p] == '?' || pat[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pat.size() && pat[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

bool MatchParts(const std::vector<std::string>& pat, std::size_t i,
                const std::vector<std::string>& parts, std::size_t j) {
  if (i == pat.size()) return j == parts.size();
  if (pat[i] == "**") {
    for (std::size_t k = j; k <= parts.size(); ++k) {
      if (MatchParts(pat, i + 1, parts, k)) return true;
    }
    return false;
  }
  return j < parts.size() && WildMatch(pat[i], parts[j]) && MatchParts(pat, i + 1, parts, j + 1);
}

bool HasWildcard(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

// True when `p` lies inside `folder` (both resolved).
bool Inside(const fs::path& p, const fs::path& folder) {
  const fs::path rel = p.lexically_relative(folder);
  return !rel.empty() && *rel.begin() != "..";
}

// Tells what a followed link packed, and whether it leads out of the folder packed.
void NoteLink(const fs::path& link, const fs::path& root, std::string_view kind, Manifest& m) {
  std::error_code ec;
  const fs::path target = fs::canonical(link, ec);
  const fs::path base = fs::canonical(root, ec);
  std::string note = "followed the link " + PrintablePath(link) + " to the " + std::string(kind) +
                     " " + PrintablePath(target);
  if (!Inside(target, base)) note += ", outside " + PrintablePath(root);
  m.notes.push_back(std::move(note));
}

// One folder of a walk. `chain` holds the folders from the walk's root down to `folder`, so a
// link back to one of them is caught instead of walked forever.
bool WalkFolder(const fs::path& root, const fs::path& folder, std::vector<fs::path>& chain,
                std::vector<std::string>& out, Manifest& m, Checker& c) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) entries.push_back(*it);
  if (ec) return c.Fail("cannot read folder " + PrintablePath(folder) + ": " + ec.message());
  for (const auto& entry : entries) {
    const fs::path& p = entry.path();
    const fs::file_status own = entry.symlink_status(ec);
    if (ec) return c.Fail("cannot read " + PrintablePath(p) + ": " + ec.message());
    const bool link = fs::is_symlink(own);
    const fs::file_status st = link ? fs::status(p, ec) : own;
    if (ec) {
      return c.Fail("the link " + PrintablePath(p) +
                    " leads nowhere or in a circle: " + ec.message());
    }
    if (fs::is_directory(st)) {
      for (const fs::path& above : chain) {
        if (fs::equivalent(above, p, ec)) {
          return c.Fail("the link " + PrintablePath(p) + " leads back to " + PrintablePath(above) +
                        ", a folder it lies in");
        }
      }
      if (link) NoteLink(p, root, "folder", m);
      chain.push_back(p);
      if (!WalkFolder(root, p, chain, out, m, c)) return false;
      chain.pop_back();
    } else if (fs::is_regular_file(st)) {
      if (link) NoteLink(p, root, "file", m);
      out.push_back(GenericUtf8(p.lexically_relative(root)));
    } else {
      return c.Fail(PrintablePath(p) + " is neither a file nor a folder (a FIFO, a socket or a " +
                    "device); only regular files are packed");
    }
  }
  return true;
}

// The regular files below `root`, as relative '/' paths in sorted order. Every entry counts: an
// unreadable folder, a link that leads nowhere or in a circle and anything that is neither file
// nor folder are errors that name it; links are followed and told in the notes.
bool WalkFiles(const fs::path& root, std::vector<std::string>& out, Manifest& m, Checker& c) {
  std::vector<fs::path> chain{root};
  if (!WalkFolder(root, root, chain, out, m, c)) return false;
  std::sort(out.begin(), out.end());
  return true;
}

bool AddFile(Manifest& m, const fs::path& source, const std::u16string& subfolder,
             std::uint8_t attributes, Checker& c) {
  PackedFile f;
  f.source = source;
  f.filename = Utf8ToUtf16(PathToUtf8(source.filename()));
  f.subfolder = subfolder;
  f.attributes = attributes;
  if (!CheckName(f.filename, "file " + PathToUtf8(source), c)) return false;
  if (f.filename.size() > kWideTextUnits || f.subfolder.size() > kWideTextUnits) {
    return c.Fail("file " + PathToUtf8(source) + ": name or folder longer than 1024 UTF-16 units");
  }
  m.files.push_back(std::move(f));
  return true;
}

bool ReadAttributes(const toml::table& entry, std::string_view where, std::uint8_t& out,
                    Checker& c) {
  const toml::node* node = entry.get("attributes");
  if (!node) return true;
  if (auto v = node->as_integer()) {
    if (v->get() < 0 || v->get() > 255) return c.Fail(std::string(where) + ": attributes 0..255");
    out = static_cast<std::uint8_t>(v->get());
    return true;
  }
  std::vector<std::string> names;
  if (auto s = node->as_string()) {
    names.push_back(s->get());
  } else if (auto a = node->as_array()) {
    for (const auto& item : *a) {
      if (!item.is_string()) return c.Fail(std::string(where) + ": attribute names are strings");
      names.push_back(item.as_string()->get());
    }
  } else {
    return c.Fail(std::string(where) + ": attributes must be a number, a name or a list of names");
  }
  std::uint8_t bits = 0;
  for (const auto& n : names) {
    auto bit = AttributeFromName(n);
    if (!bit) return c.Fail(std::string(where) + ": unknown attribute \"" + n + "\"");
    bits |= *bit;
  }
  out = bits;
  return true;
}

// Where a source starts: the manifest's folder, or the root its absolute form names ("/x";
// on Windows also "C:\x" and "\\server\share\x"). `used` counts the parts of `parts` it took.
bool SourceRoot(const std::string& source, const std::vector<std::string>& parts,
                const fs::path& base, const std::string& where, fs::path& root, std::size_t& used,
                Checker& c) {
  auto separator = [](char ch) { return ch == '/' || ch == '\\'; };
  used = 0;
#ifdef _WIN32
  const bool letter = !source.empty() && ((source[0] >= 'A' && source[0] <= 'Z') ||
                                          (source[0] >= 'a' && source[0] <= 'z'));
  if (letter && source.size() >= 2 && source[1] == ':') {
    // "C:x" means the drive's current folder, which differs between shells
    if (source.size() < 3 || !separator(source[2])) {
      return c.Fail(where + ": \"" + source + "\" names no folder on drive " + source.substr(0, 2) +
                    "; write " + source.substr(0, 2) + "\\...");
    }
    root = PathFromUtf8(source.substr(0, 2) + "\\");
    used = 1;
    return true;
  }
  if (source.size() >= 2 && separator(source[0]) && separator(source[1])) {
    if (parts.size() < 2) return c.Fail(where + ": \"" + source + "\" names no share");
    root = PathFromUtf8("\\\\" + parts[0] + "\\" + parts[1] + "\\");
    used = 2;
    return true;
  }
#else
  static_cast<void>(parts);
  static_cast<void>(where);
  static_cast<void>(c);
#endif
  root = !source.empty() && separator(source.front()) ? fs::path("/") : base;
  return true;
}

bool ReadFiles(const toml::array& list, Manifest& m, Checker& c) {
  std::size_t index = 0;
  for (const auto& node : list) {
    ++index;
    const std::string where = "files entry " + std::to_string(index);
    const toml::table* entry = node.as_table();
    if (!entry) return c.Fail(where + ": must be a table");
    if (!CheckKeys(*entry, {"source", "subfolder", "attributes"}, where, c)) return false;
    std::optional<std::string> source, subfolder;
    if (!GetString(*entry, "source", where, source, c)) return false;
    if (!GetString(*entry, "subfolder", where, subfolder, c)) return false;
    if (!source || source->empty()) return c.Fail(where + ": \"source\" is required");
    std::uint8_t attributes = 0x20;
    if (!ReadAttributes(*entry, where, attributes, c)) return false;
    std::u16string dest;
    if (!FolderText(subfolder.value_or(""), where + " subfolder", dest, c)) return false;

    const auto parts = SplitPath(*source);
    fs::path root;
    std::size_t first_wild = 0;
    if (!SourceRoot(*source, parts, m.base, where, root, first_wild, c)) return false;
    while (first_wild < parts.size() && !HasWildcard(parts[first_wild])) {
      root /= PathFromUtf8(parts[first_wild++]);
    }
    std::error_code ec;
    std::size_t found = 0;
    if (first_wild == parts.size()) {
      const fs::file_status st = fs::status(root, ec);
      if (fs::is_regular_file(st)) {
        if (fs::is_symlink(fs::symlink_status(root, ec))) NoteLink(root, m.base, "file", m);
        if (!AddFile(m, root, dest, attributes, c)) return false;
        ++found;
      } else if (fs::is_directory(st)) {
        std::vector<std::string> rels;
        if (!WalkFiles(root, rels, m, c)) return false;
        for (const auto& rel : rels) {
          std::u16string sub;
          if (!FolderText(GenericUtf8(PathFromUtf8(rel).parent_path()), where, sub, c))
            return false;
          if (!AddFile(m, root / PathFromUtf8(rel), dest + sub, attributes, c)) return false;
          ++found;
        }
      } else if (fs::exists(st)) {
        return c.Fail(where + ": " + PrintablePath(root) + " is neither a file nor a folder " +
                      "(a FIFO, a socket or a device); only regular files are packed");
      } else if (fs::is_symlink(fs::symlink_status(root, ec))) {
        return c.Fail(where + ": the link " + PrintablePath(root) +
                      " leads nowhere or in a circle");
      } else {
        return c.Fail(where + ": " + PathToUtf8(root) + " does not exist");
      }
    } else {
      if (!fs::is_directory(root, ec))
        return c.Fail(where + ": " + PathToUtf8(root) + " is no folder");
      const std::vector<std::string> pattern(parts.begin() + static_cast<long>(first_wild),
                                             parts.end());
      std::vector<std::string> rels;
      if (!WalkFiles(root, rels, m, c)) return false;
      for (const auto& rel : rels) {
        if (!MatchParts(pattern, 0, SplitPath(rel), 0)) continue;
        std::u16string sub;
        if (!FolderText(GenericUtf8(PathFromUtf8(rel).parent_path()), where, sub, c)) return false;
        if (!AddFile(m, root / PathFromUtf8(rel), dest + sub, attributes, c)) return false;
        ++found;
      }
    }
    if (found == 0) return c.Fail(where + ": \"" + *source + "\" matches no file");
  }
  return true;
}

// The vendor's texts of one language ([texts.xx]): known names, string values, no placeholder the
// text cannot fill. A placeholder left out is allowed (a vendor may drop the version) but said.
bool ReadOverrides(const toml::table& table, std::string_view code,
                   std::vector<std::pair<TextId, std::string>>& out, Manifest& m, Checker& c) {
  const std::string where = "texts." + std::string(code);
  for (const auto& [key, node] : table) {
    const auto id = FindText(key.str());
    if (!id) {
      return c.Fail(where + ": \"" + std::string(key.str()) +
                    "\" is not the name of a text (docs/manifest.md lists them)");
    }
    if (!node.is_string()) {
      return c.Fail(where + ": \"" + std::string(key.str()) + "\" must be a string");
    }
    const std::string text = node.as_string()->get();
    if (Utf8ToUtf16(text).find(u'\uFFFD') != std::u16string::npos) {
      return c.Fail(where + "." + std::string(key.str()) + " is not valid UTF-8");
    }
    const auto want = Placeholders(EnglishText(*id));
    for (const std::string& p : Placeholders(text)) {
      if (std::find(want.begin(), want.end(), p) == want.end()) {
        std::string known;
        for (const std::string& w : want) known += (known.empty() ? "" : ", ") + ("{" + w + "}");
        return c.Fail(where + "." + std::string(key.str()) + ": {" + p + "} is not filled in " +
                      "this text (it has " + (known.empty() ? std::string("none") : known) + ")");
      }
    }
    for (const std::string& w : want) {
      if (text.find("{" + w + "}") == std::string::npos && w != "brand") {
        m.warnings.push_back(where + "." + std::string(key.str()) + " leaves out {" + w + "}");
      }
    }
    out.emplace_back(*id, text);
  }
  return true;
}

// `languages`, `brand` and the [texts.xx] tables: the tables the package stores.
bool ReadLanguages(const toml::table& root, Manifest& m, Checker& c) {
  std::vector<std::string> codes;
  if (const toml::node* node = root.get("languages")) {
    std::vector<std::string> given;
    if (node->is_string() && node->as_string()->get() == "all") {
      given = TranslatedLanguages();
    } else if (const toml::array* list = node->as_array()) {
      for (const auto& item : *list) {
        if (!item.is_string()) return c.Fail("languages: must be \"all\" or an array of codes");
        given.push_back(item.as_string()->get());
      }
    } else {
      return c.Fail("languages: must be \"all\" or an array of codes such as [\"de\", \"fr\"]");
    }
    for (const std::string& g : given) {
      const LanguageInfo* l = FindLanguage(g);
      if (!l) {
        std::string known;
        for (const LanguageInfo& k : KnownLanguages())
          known += (known.empty() ? "" : ", ") + std::string(k.code);
        return c.Fail("languages: \"" + g + "\" is not a language Kestrel speaks (" + known + ")");
      }
      if (std::find(codes.begin(), codes.end(), l->code) == codes.end())
        codes.emplace_back(l->code);
    }
  }
  std::optional<std::string> brand;
  if (!GetString(root, "brand", "manifest", brand, c)) return false;
  if (brand) {
    const std::u16string b = Utf8ToUtf16(*brand);
    if (b.empty() || b.size() > 64 || b.find(u'\uFFFD') != std::u16string::npos ||
        TrimBlanks(b) != b) {
      return c.Fail("brand: \"" + *brand + "\" must be 1 to 64 characters of valid UTF-8 with no " +
                    "blanks around it");
    }
    m.locale.brand = b;
  }
  std::map<std::string, std::vector<std::pair<TextId, std::string>>> overrides;
  if (const toml::node* node = root.get("texts")) {
    const toml::table* texts = node->as_table();
    if (!texts) return c.Fail("texts: must hold tables such as [texts.de]");
    for (const auto& [key, value] : *texts) {
      const LanguageInfo* l = FindLanguage(key.str());
      if (!l) return c.Fail("texts." + std::string(key.str()) + ": not a language Kestrel speaks");
      if (l->code != "en" && std::find(codes.begin(), codes.end(), l->code) == codes.end()) {
        return c.Fail("texts." + std::string(key.str()) + ": the language is not in \"languages\"");
      }
      const toml::table* t = value.as_table();
      if (!t) return c.Fail("texts." + std::string(key.str()) + ": must be a table");
      if (!ReadOverrides(*t, l->code, overrides[std::string(l->code)], m, c)) return false;
    }
  }
  auto table_of = [&](const std::string& code) {
    TextTable t;
    t.language = code;
    for (std::size_t i = 0; i < kTextCount; ++i) {
      const auto id = static_cast<TextId>(i);
      std::optional<std::string_view> text;
      if (code != "en") text = CatalogText(id, code);
      for (const auto& [oid, otext] : overrides[code]) {
        if (oid == id) text = otext;
      }
      if (text) t.texts.emplace_back(std::string(TextKey(id)), Utf8ToUtf16(*text));
    }
    return t;
  };
  if (!overrides["en"].empty()) m.locale.languages.push_back(table_of("en"));
  for (const std::string& code : codes) {
    if (code != "en") m.locale.languages.push_back(table_of(code));
  }
  return true;
}

// The line a key's value stands on, for messages.
std::string LineOf(const toml::table& table, std::string_view key) {
  const toml::node* node = table.get(key);
  return node ? std::to_string(node->source().begin.line) : std::string("?");
}

// A class of the product's own for a manifest that names none: "Kestrel.", the identity's
// letters and digits (at most 20) and 8 hex digits of its CRC-32, so two products never share a
// class and the name stays within what the shell expects of one.
std::string DefaultAssociationClass(std::string_view identity) {
  std::string word;
  for (char ch : identity) {
    if (((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9')) &&
        word.size() < 20) {
      word.push_back(ch);
    }
  }
  if (word.empty()) word = "Product";
  static const char kHex[] = "0123456789abcdef";
  const std::uint32_t crc = Crc32(identity.data(), identity.size());
  std::string hex;
  for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(kHex[(crc >> shift) & 15]);
  return "Kestrel." + word + "." + hex;
}

// The identity of a product named beyond Windows-1252 that gives none: the name's 8-bit form (a
// character no key name can hold made "_") and 8 hex digits of the CRC-32 of its UTF-8.
std::string DefaultProductId(std::string_view form, std::string_view utf8) {
  std::string id(form.substr(0, kShortTextRoom - 9));
  for (char& ch : id) {
    const auto u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7F || ch == '\\') ch = '_';
  }
  static const char kHex[] = "0123456789abcdef";
  const std::uint32_t crc = Crc32(utf8.data(), utf8.size());
  id.push_back('-');
  for (int shift = 28; shift >= 0; shift -= 4) id.push_back(kHex[(crc >> shift) & 15]);
  return id;
}

bool Parse(const toml::table& root, Manifest& m, Checker& c) {
  if (!CheckKeys(
          root,
          {"displayname",   "id",      "exename",  "version",   "installfolder", "programgroup",
           "appdatafolder", "licence", "license",  "stub",      "publisher",     "url",
           "codec",         "scope",   "services", "shortcuts", "association",   "files",
           "languages",     "brand",   "texts",    "image"},
          "manifest", c)) {
    return false;
  }
  std::optional<std::string> displayname, id, exename, version, installfolder, programgroup,
      appdatafolder, licence, license, stub, publisher, url, codec, scope, image;
  for (auto [key, slot] :
       std::initializer_list<std::pair<std::string_view, std::optional<std::string>*>>{
           {"displayname", &displayname},
           {"id", &id},
           {"exename", &exename},
           {"version", &version},
           {"installfolder", &installfolder},
           {"programgroup", &programgroup},
           {"appdatafolder", &appdatafolder},
           {"licence", &licence},
           {"image", &image},
           {"license", &license},
           {"stub", &stub},
           {"publisher", &publisher},
           {"url", &url},
           {"codec", &codec},
           {"scope", &scope}}) {
    if (!GetString(root, key, "manifest", *slot, c)) return false;
  }
  if (!displayname || displayname->empty()) return c.Fail("manifest: \"displayname\" is required");
  if (!exename || exename->empty()) return c.Fail("manifest: \"exename\" is required");
  if (!NameText(*displayname, "displayname", kShortTextRoom, m.displayname,
                m.locale.names.displayname, c))
    return false;
  if (!ShortText(*exename, "exename", kShortTextRoom, m.exename, c)) return false;
  {
    // exename names the main program in the installation folder and the product's App Paths key,
    // which the uninstaller removes: a folder, ".." or nothing there would name another key
    const std::u16string exe = FromCp1252(m.exename);
    const NameFault fault = CheckNameComponent(exe);
    if (TrimBlanks(exe) != exe || fault != NameFault::kNone) {
      return c.Fail("exename: \"" + Printable(exe) + "\" must be a plain file name in the " +
                    "installation folder (no folder, no \"..\", no blanks around it); it " +
                    (fault != NameFault::kNone ? NameFaultText(fault) : "has blanks around it"));
    }
  }
  if (id) {
    // the identity names the Uninstall key and the uninstaller's file, and rides on the
    // uninstall command line
    if (!ShortText(*id, "id", kShortTextRoom, m.id, c)) return false;
    if (!IsValidProductId(m.id) || TrimBlanks(m.id) != m.id) {
      return c.Fail("id (manifest line " + LineOf(root, "id") + "): \"" + *id +
                    "\" must be 1 to 255 characters, no \"\\\", no control character, no " +
                    "blanks around it");
    }
  }
  if (!id && !m.locale.names.displayname.empty()) {
    // the identity of a name beyond Windows-1252 is not its 8-bit form alone, which two products
    // named in another script would share: a check of the whole name follows it
    m.id = DefaultProductId(m.displayname, *displayname);
    m.notes.push_back("id: \"" + m.id + "\" names the product's uninstall entry (displayname " +
                      "is beyond Windows-1252; give \"id\" to choose it)");
  }
  if (!NameText(version.value_or(""), "version", kVersionRoom, m.version, m.locale.names.version,
                c) ||
      !NameText(appdatafolder.value_or(""), "appdatafolder", kShortTextRoom, m.appdatafolder,
                m.locale.names.appdatafolder, c)) {
    return false;
  }
  if (!m.locale.names.appdatafolder.empty() &&
      !CheckName(m.locale.names.appdatafolder, "appdatafolder", c))
    return false;
  if (!ShortText(publisher.value_or(""), "publisher", kShortTextRoom, m.publisher, c)) return false;
  if (!ShortText(url.value_or(""), "url", kShortTextRoom, m.url, c)) return false;
  if (!FolderText(installfolder.value_or(*displayname), "installfolder", m.installfolder, c))
    return false;
  if (!FolderText(programgroup.value_or(*displayname), "programgroup", m.programgroup, c))
    return false;
  if (m.installfolder.empty()) return c.Fail("installfolder: must name a folder");
  if (licence && license) return c.Fail("manifest: give \"licence\" or \"license\", not both");
  if (licence || license) m.licence = m.base / PathFromUtf8(licence ? *licence : *license);
  if (image) m.image = m.base / PathFromUtf8(*image);
  if (stub) m.stub = m.base / PathFromUtf8(*stub);
  if (codec) {
    if (*codec != "classic" && *codec != "lzma2") {
      return c.Fail("codec: \"" + *codec + "\" is not a codec (classic or lzma2)");
    }
    m.codec = *codec;
  }
  if (scope) {
    if (*scope == "user") {
      m.scope = InstallScope::kUser;
    } else if (*scope == "either") {
      m.scope = InstallScope::kEither;
    } else if (*scope != "machine") {
      return c.Fail("scope (manifest line " + LineOf(root, "scope") + "): \"" + *scope +
                    "\" is not a scope (machine, user or either)");
    }
  }

  if (const toml::node* node = root.get("services")) {
    const toml::array* list = node->as_array();
    if (!list) return c.Fail("services: must be an array of tables ([[services]])");
    if (list->size() > kMaxServices) {
      return c.Fail("services: " + std::to_string(list->size()) + " given, at most 5 fit");
    }
    // a service is the machine's: one user without administrator rights can make none
    if (m.scope != InstallScope::kMachine && !list->empty()) {
      return c.Fail("services (manifest line " + LineOf(root, "services") + "): scope \"" + *scope +
                    "\" installs for one user, who cannot create services; use " +
                    "scope = \"machine\" or leave the services out");
    }
    std::size_t i = 0;
    for (const auto& item : *list) {
      const std::string where = "services entry " + std::to_string(++i);
      const toml::table* t = item.as_table();
      if (!t) return c.Fail(where + ": must be a table");
      if (!CheckKeys(*t, {"file", "name"}, where, c)) return false;
      std::optional<std::string> file, name;
      if (!GetString(*t, "file", where, file, c) || !GetString(*t, "name", where, name, c))
        return false;
      if (!file || file->empty() || !name || name->empty()) {
        return c.Fail(where + ": \"file\" and \"name\" are required");
      }
      std::u16string folder;
      if (!FolderText(*file, where + " file", folder, c)) return false;
      if (folder.empty()) return c.Fail(where + ": \"file\" must name a file");
      Service s;
      if (!ShortText(Utf16ToUtf8(folder.substr(1)), where + " file", kShortTextRoom, s.file, c) ||
          !ShortText(*name, where + " name", kShortTextRoom, s.name, c)) {
        return false;
      }
      m.services.push_back(std::move(s));
    }
  }

  if (const toml::node* node = root.get("shortcuts")) {
    const toml::array* list = node->as_array();
    if (!list) return c.Fail("shortcuts: must be an array of tables ([[shortcuts]])");
    if (list->size() > kMaxShortcuts) {
      return c.Fail("shortcuts: " + std::to_string(list->size()) + " given, at most 6 fit");
    }
    std::size_t i = 0;
    for (const auto& item : *list) {
      const std::string where = "shortcuts entry " + std::to_string(++i);
      const toml::table* t = item.as_table();
      if (!t) return c.Fail(where + ": must be a table");
      if (!CheckKeys(*t, {"target", "arguments", "caption"}, where, c)) return false;
      std::optional<std::string> target, arguments, caption;
      if (!GetString(*t, "target", where, target, c) ||
          !GetString(*t, "arguments", where, arguments, c) ||
          !GetString(*t, "caption", where, caption, c)) {
        return false;
      }
      if (!target || target->empty() || !caption || caption->empty()) {
        return c.Fail(where + ": \"target\" and \"caption\" are required");
      }
      std::u16string folder;
      if (!FolderText(*target, where + " target", folder, c)) return false;
      if (folder.empty()) return c.Fail(where + ": \"target\" must name a file");
      std::string text = Utf16ToUtf8(folder.substr(1));
      // setup splits an entry at its first "-": the file part must hold none
      if (text.find('-') != std::string::npos) {
        return c.Fail(where + ": target \"" + *target + "\" holds a \"-\", which setup would " +
                      "take as the start of the arguments");
      }
      if (arguments && !arguments->empty()) {
        if (arguments->front() != '-') return c.Fail(where + ": arguments must begin with \"-\"");
        text += *arguments;
      }
      Shortcut s;
      if (!ShortText(text, where + " target", kShortTextRoom, s.target, c) ||
          !NameText(*caption, where + " caption", kShortTextRoom, s.caption,
                    m.locale.names.shortcutcaptions[m.shortcuts.size()], c)) {
        return false;
      }
      m.shortcuts.push_back(std::move(s));
    }
  }

  if (const toml::node* node = root.get("association")) {
    const toml::table* t = node->as_table();
    if (!t) return c.Fail("association: must be a table");
    if (!CheckKeys(*t, {"extension", "class", "description", "program"}, "association", c))
      return false;
    std::optional<std::string> ext, cls, desc, prog;
    if (!GetString(*t, "extension", "association", ext, c) ||
        !GetString(*t, "class", "association", cls, c) ||
        !GetString(*t, "description", "association", desc, c) ||
        !GetString(*t, "program", "association", prog, c)) {
      return false;
    }
    if (!ext || ext->empty()) return c.Fail("association: \"extension\" is required");
    if (!ShortText(*ext, "association extension", kShortTextRoom, m.assocext, c) ||
        !ShortText(cls.value_or(DefaultAssociationClass(m.id.empty() ? m.displayname : m.id)),
                   "association class", kShortTextRoom, m.assocclass, c) ||
        !NameText(desc.value_or(""), "association description", kShortTextRoom, m.assocdescription,
                  m.locale.names.assocdescription, c) ||
        !ShortText(prog.value_or(*exename), "association program", kShortTextRoom, m.assocprogram,
                   c)) {
      return false;
    }
    bool known = m.assocprogram == m.exename;
    for (const auto& s : m.shortcuts) known = known || s.target == m.assocprogram;
    if (!known) {
      return c.Fail("association: program \"" + m.assocprogram +
                    "\" is neither exename nor a shortcut target, so setup would not register it");
    }
    if (m.assocclass.empty() || m.assocclass.find('\\') != std::string::npos ||
        TrimBlanks(m.assocclass) != m.assocclass) {
      return c.Fail("association class (manifest line " + LineOf(*t, "class") + "): \"" +
                    m.assocclass + "\" must name one key: no \"\\\", no blanks around it");
    }
  }

  if (!ReadLanguages(root, m, c)) return false;

  const toml::node* files = root.get("files");
  if (files && !files->is_array()) return c.Fail("files: must be an array of tables ([[files]])");
  if (files && !ReadFiles(*files->as_array(), m, c)) return false;

  // two files may not land on the same path, nor a file where a folder goes (Windows compares
  // names through its upper-case mapping, letters beyond ASCII included)
  std::set<std::u16string> seen, folders;
  for (const auto& f : m.files) {
    for (std::size_t k = f.subfolder.find(u'\\', 1);; k = f.subfolder.find(u'\\', k + 1)) {
      folders.insert(UpcaseName(f.subfolder.substr(0, k)));
      if (k == std::u16string::npos) break;
    }
  }
  bool has_main = false;
  const std::u16string main = UpcaseName(FromCp1252(m.exename));
  for (const auto& f : m.files) {
    const std::u16string shown = f.subfolder + u"\\" + f.filename;
    const std::u16string key = UpcaseName(shown);
    if (!seen.insert(key).second) {
      return c.Fail("two files would both be installed as " + Printable(shown) +
                    " (Windows does not tell their names apart)");
    }
    if (folders.count(key)) {
      return c.Fail(Printable(shown) + " would be installed both as a file and as a folder");
    }
    if (f.subfolder.empty() && UpcaseName(f.filename) == main) has_main = true;
  }
  // setup registers and links these programs: each must be a file the package installs
  if (!has_main) {
    return c.Fail("exename (manifest line " + LineOf(root, "exename") + "): \"" + *exename +
                  "\" is not among the packed files; setup would register a program that is " +
                  "not there");
  }
  if (const toml::array* list =
          root.get("shortcuts") ? root.get("shortcuts")->as_array() : nullptr) {
    for (std::size_t i = 0; i < m.shortcuts.size() && i < list->size(); ++i) {
      const std::string& entry = m.shortcuts[i].target;
      const std::u16string file = FromCp1252(entry.substr(0, entry.find('-')));
      if (!seen.count(UpcaseName(u"\\" + file))) {
        const toml::table* t = (*list)[i].as_table();
        return c.Fail("shortcuts entry " + std::to_string(i + 1) + " target (manifest line " +
                      (t ? LineOf(*t, "target") : std::string("?")) + "): \"" + Printable(file) +
                      "\" is not among the packed files");
      }
    }
  }
  return true;
}

}  // namespace

std::optional<std::uint8_t> AttributeFromName(std::string_view name) {
  if (name == "readonly") return 0x01;
  if (name == "hidden") return 0x02;
  if (name == "system") return 0x04;
  if (name == "archive") return 0x20;
  if (name == "normal") return 0x80;
  return std::nullopt;
}

bool ParseManifest(std::string_view text, const fs::path& base, Manifest& out, std::string& error) {
  error.clear();
  out = Manifest{};
  out.base = base;
  Checker c{error};
  try {
    const toml::table root = toml::parse(text);
    return Parse(root, out, c);
  } catch (const toml::parse_error& e) {
    std::ostringstream msg;
    msg << "manifest line " << e.source().begin.line << ", column " << e.source().begin.column
        << ": " << e.description();
    return c.Fail(msg.str());
  }
}

bool LoadManifest(const fs::path& file, Manifest& out, std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!ReadInputFile(file, kMaxManifestBytes, "manifest", bytes, error)) return false;
  const std::string text(bytes.begin(), bytes.end());
  fs::path base = file.parent_path();
  if (base.empty()) base = ".";
  if (!ParseManifest(text, base, out, error)) {
    error = PathToUtf8(file) + ": " + error;
    return false;
  }
  return true;
}

}  // namespace kestrel::pack
