#include "sysutil/texts.h"

#include <memory>

#include "sysutil/codepage.h"
#include "sysutil/englishtexts.h"
#include "sysutil/lzma2glue.h"

namespace kestrel {
namespace {

// Only the English texts and the names: the translations stay in the packer. The English texts
// are packed at build time (scripts/pack-english-texts) and unpacked by the decoder setup.exe has
// for its files: a third of their size. setup.exe finds a table's text by the hash of its name
// (computed here at compile time), so the names themselves are linked only into programs that
// print or parse them.
constexpr const char* kKeys[] = {
#define KESTREL_TEXT(id, english, ...) #id,
#include "sysutil/textcatalog.inc"
#undef KESTREL_TEXT
};
static_assert(std::size(kKeys) == kTextCount);

// FNV-1a, 32 bits.
constexpr std::uint32_t KeyHash(std::string_view key) {
  std::uint32_t h = 2166136261u;
  for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}
constexpr auto MakeKeyHashes() {
  std::array<std::uint32_t, kTextCount> h{};
  for (std::size_t i = 0; i < kTextCount; ++i) h[i] = KeyHash(kKeys[i]);
  return h;
}
constexpr auto kKeyHashes = MakeKeyHashes();
constexpr bool HashesDiffer() {
  for (std::size_t i = 0; i < kTextCount; ++i)
    for (std::size_t j = i + 1; j < kTextCount; ++j)
      if (kKeyHashes[i] == kKeyHashes[j]) return false;
  return true;
}
static_assert(HashesDiffer(), "two text names share a hash: rename one");

// The text a table's name stands for, by its hash alone; a name no text has can still share a
// hash with one, which at worst replaces that text (tables come from the packer).
std::optional<TextId> FindByHash(std::string_view key) {
  const std::uint32_t h = KeyHash(key);
  for (std::size_t i = 0; i < kTextCount; ++i) {
    if (kKeyHashes[i] == h) return static_cast<TextId>(i);
  }
  return std::nullopt;
}

constexpr LanguageInfo kLanguages[] = {
    {"en", 0x09, false},      {"de", 0x07, false},      {"fr", 0x0C, false}, {"es", 0x0A, false},
    {"it", 0x10, false},      {"pt-BR", 0x16, false},   {"nl", 0x13, false}, {"pl", 0x15, false},
    {"ru", 0x19, false},      {"uk", 0x22, false},      {"tr", 0x1F, false}, {"ja", 0x11, false},
    {"zh-Hans", 0x04, false}, {"zh-Hant", 0x04, false}, {"ko", 0x12, false}, {"ar", 0x01, true},
    {"he", 0x0D, true},
};
constexpr std::size_t kZhHans = 12, kZhHant = 13;

// Other spellings a manifest or a command line may use.
constexpr std::pair<std::string_view, std::string_view> kAliases[] = {
    {"pt", "pt-BR"},      {"zh-CN", "zh-Hans"}, {"zh-SG", "zh-Hans"}, {"zh", "zh-Hans"},
    {"zh-TW", "zh-Hant"}, {"zh-HK", "zh-Hant"}, {"zh-MO", "zh-Hant"}, {"iw", "he"},
};

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameCode(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] == '_' ? '-' : Lower(a[i]);
    const char y = b[i] == '_' ? '-' : Lower(b[i]);
    if (x != y) return false;
  }
  return true;
}

// Little-endian readers over a table's bytes; each fails rather than read past the end.
struct Reader {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
  bool ok = true;
  std::size_t Number(int width) {
    if (!ok || bytes.size() - at < static_cast<std::size_t>(width)) {
      ok = false;
      return 0;
    }
    std::size_t v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<std::size_t>(bytes[at + i]) << (8 * i);
    at += static_cast<std::size_t>(width);
    return v;
  }
  std::string_view Text(int width) {
    const std::size_t n = Number(width);
    if (!ok || bytes.size() - at < n) {
      ok = false;
      return {};
    }
    std::string_view s(reinterpret_cast<const char*>(bytes.data() + at), n);
    at += n;
    return s;
  }
};

void PutNumber(std::vector<std::uint8_t>& out, std::size_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutText(std::vector<std::uint8_t>& out, std::string_view s, int width) {
  PutNumber(out, s.size(), width);
  out.insert(out.end(), s.begin(), s.end());
}

constexpr std::uint8_t kTableVersion = 1;

}  // namespace

std::string_view TextKey(TextId id) {
  return kKeys[static_cast<std::size_t>(id)];
}

namespace {

// Every English text, each ended by a zero byte; all of them empty if they cannot be unpacked
// (no memory for the decoder), which the program survives.
std::string UnpackEnglish() {
  const PackedTexts& p = kEnglishPacked;
  std::string out(static_cast<std::size_t>(kestrel_lzma2_dictionary(p.dictionary)), '\0');
  const auto state = std::make_unique<unsigned char[]>(kestrel_lzma2_state_bytes());
  if (kestrel_lzma2_open(state.get(), p.dictionary, reinterpret_cast<unsigned char*>(out.data()),
                         out.size()) != 0) {
    return std::string(kTextCount, '\0');
  }
  kestrel_lzma2_size used = p.size;
  int status = 0;
  const int result = kestrel_lzma2_decode(state.get(), p.bytes, p.data, &used, 1, &status);
  const bool whole = result == 0 && kestrel_lzma2_position(state.get()) == p.bytes;
  kestrel_lzma2_close(state.get());
  if (!whole) return std::string(kTextCount, '\0');
  out.resize(p.bytes);
  return out;
}

}  // namespace

std::string_view EnglishText(TextId id) {
  static const std::string& texts = *new std::string(UnpackEnglish());
  const char* p = texts.data();
  for (std::size_t i = 0; i < static_cast<std::size_t>(id); ++i)
    p += std::char_traits<char>::length(p) + 1;
  return p;
}

StatusText::operator std::u16string() const {
  return Utf8ToUtf16(EnglishText(id));
}

bool operator==(std::u16string_view text, StatusText status) {
  // the statuses' English texts are ASCII: one unit a byte
  const std::string_view english = EnglishText(status.id);
  if (text.size() != english.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != static_cast<unsigned char>(english[i])) return false;
  }
  return true;
}

std::optional<TextId> FindText(std::string_view key) {
  for (std::size_t i = 0; i < kTextCount; ++i) {
    if (key == kKeys[i]) return static_cast<TextId>(i);
  }
  return std::nullopt;
}

std::span<const LanguageInfo> KnownLanguages() {
  return kLanguages;
}

const LanguageInfo* FindLanguage(std::string_view code) {
  for (const auto& [alias, target] : kAliases) {
    if (SameCode(code, alias)) code = target;
  }
  for (const LanguageInfo& l : kLanguages) {
    if (SameCode(code, l.code)) return &l;
  }
  return nullptr;
}

const LanguageInfo* LanguageOfLangId(std::uint16_t langid) {
  const std::uint16_t primary = langid & 0x3FF;
  const std::uint16_t sub = langid >> 10;
  if (primary == 0x04) {
    // Taiwan, Hong Kong, Macao and the traditional neutral write traditional characters
    const bool traditional = sub == 0x01 || sub == 0x03 || sub == 0x05 || sub == 0x1F;
    return &kLanguages[traditional ? kZhHant : kZhHans];
  }
  for (const LanguageInfo& l : kLanguages) {
    if (l.primary == primary) return &l;
  }
  return nullptr;
}

const TextTable* SelectLanguage(std::span<const TextTable> available, std::uint16_t userlangid,
                                std::string_view requested) {
  const LanguageInfo* english = &kLanguages[0];
  auto table_of = [&](const LanguageInfo* l) -> const TextTable* {
    for (const TextTable& t : available) {
      if (FindLanguage(t.language) == l) return &t;
    }
    return nullptr;
  };
  for (const LanguageInfo* l :
       {requested.empty() ? nullptr : FindLanguage(requested), LanguageOfLangId(userlangid)}) {
    if (!l) continue;
    if (l == english) return table_of(english);  // English is always there
    if (const TextTable* t = table_of(l)) return t;
    // the same primary language, when the exact one is not carried: pt-PT speaks pt-BR
    for (const TextTable& t : available) {
      const LanguageInfo* c = FindLanguage(t.language);
      if (c && c != english && c->primary == l->primary) return &t;
    }
  }
  return table_of(english);
}

std::vector<std::uint8_t> EncodeTextTable(const TextTable& table) {
  std::vector<std::uint8_t> out;
  out.push_back(kTableVersion);
  PutText(out, table.language, 1);
  PutText(out, Utf16ToUtf8(table.brand), 2);
  PutNumber(out, table.texts.size(), 2);
  for (const auto& [key, text] : table.texts) {
    PutText(out, key, 1);
    PutText(out, Utf16ToUtf8(text), 2);
  }
  return out;
}

std::optional<TextTable> DecodeTextTable(std::span<const std::uint8_t> bytes) {
  Reader r{bytes};
  if (r.Number(1) != kTableVersion) return std::nullopt;
  TextTable t;
  t.language = std::string(r.Text(1));
  t.brand = Utf8ToUtf16(r.Text(2));
  const std::size_t n = r.Number(2);
  for (std::size_t i = 0; i < n && r.ok; ++i) {
    std::string key(r.Text(1));
    std::u16string text = Utf8ToUtf16(r.Text(2));
    if (r.ok) t.texts.emplace_back(std::move(key), std::move(text));
  }
  if (!r.ok || r.at != bytes.size() || !FindLanguage(t.language)) return std::nullopt;
  return t;
}

std::u16string FillText(std::u16string_view text, std::u16string_view brand,
                        std::initializer_list<TextArg> args) {
  std::u16string out;
  out.reserve(text.size() + 32);
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find(u'{', at);
    const std::size_t close = open == text.npos ? text.npos : text.find(u'}', open);
    if (close == text.npos) break;
    out.append(text, at, open - at);
    const std::u16string_view key = text.substr(open + 1, close - open - 1);
    const std::u16string_view* value = key == u"brand" ? &brand : nullptr;
    for (const TextArg& a : args) {
      if (a.key == key) value = &a.value;
    }
    if (value) {
      out.append(*value);
    } else {
      out.append(text, open, close - open + 1);
    }
    at = close + 1;
  }
  out.append(text, at);
  return out;
}

Texts& Texts::Current() {
  // made once and kept to the end: the program never tears it down
  static Texts& texts = *new Texts;
  return texts;
}

void Texts::Reset() {
  for (auto& t : texts_) t.reset();
  for (auto& t : shown_) t.clear();
  brand_ = u"Kestrel";
  language_ = "en";
  rtl_ = false;
}

void Texts::Apply(const TextTable& table) {
  const LanguageInfo* l = FindLanguage(table.language);
  if (!l) return;
  language_ = l->code;
  rtl_ = l->rtl;
  if (!table.brand.empty()) brand_ = table.brand;
  for (auto& t : shown_) t.clear();
  for (const auto& [key, text] : table.texts) {
    if (const auto id = FindByHash(key)) texts_[static_cast<std::size_t>(*id)] = text;
  }
}

void Texts::SetBrand(std::u16string_view brand) {
  if (brand.empty()) return;
  brand_ = brand;
  for (auto& t : shown_) t.clear();
}

const std::u16string& Texts::Get(TextId id) const {
  std::u16string& shown = shown_[static_cast<std::size_t>(id)];
  if (shown.empty()) shown = Get(id, {});
  return shown;
}

std::u16string Texts::Get(TextId id, std::initializer_list<TextArg> args) const {
  const auto& own = texts_[static_cast<std::size_t>(id)];
  if (own) return FillText(*own, brand_, args);
  return FillText(Utf8ToUtf16(EnglishText(id)), brand_, args);
}

}  // namespace kestrel
