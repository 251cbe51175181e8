// The texts the program shows, by name, in the language the run speaks.
//
// Every text lives once in sysutil/textcatalog.inc: its name, the English text (compiled into
// setup.exe as the default table) and its translations (compiled only into the packer, which
// stores the languages a package selects). A text refers to what it is given through named
// placeholders such as {name}; {brand} is the vendor's word for the program ("Kestrel").
// Tables are keyed by the texts' names, never by their position, so a table stored by one
// version reads right in another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

enum class TextId : std::uint16_t {
#define KESTREL_TEXT(id, english, ...) id,
#include "sysutil/textcatalog.inc"
#undef KESTREL_TEXT
  kCount
};
inline constexpr std::size_t kTextCount = static_cast<std::size_t>(TextId::kCount);

// The text's name, as tables and the manifest's [texts.xx] call it.
std::string_view TextKey(TextId id);
// The built-in English text, placeholders unfilled.
std::string_view EnglishText(TextId id);
std::optional<TextId> FindText(std::string_view key);

// A fixed status of the installation engine: the catalog's English text (ASCII), which the log
// and the engine's own checks use; ShownStatus gives the user the run's language.
struct StatusText {
  TextId id;
  operator std::u16string() const;  // the English text
};
bool operator==(std::u16string_view text, StatusText status);

// The languages the program knows, English first.
struct LanguageInfo {
  std::string_view code;  // as the manifest and /LANG= name it: "de", "pt-BR", "zh-Hans"
  std::uint16_t primary;  // the Windows primary language id
  bool rtl;               // written right to left: the wizard is mirrored
};
std::span<const LanguageInfo> KnownLanguages();
// The language a code names (letter case ignored; "pt" is "pt-BR", "zh-CN" "zh-Hans", "zh-TW"
// "zh-Hant"); nothing for an unknown code.
const LanguageInfo* FindLanguage(std::string_view code);
// The code a Windows language id (GetUserDefaultUILanguage) speaks when exactly known: Chinese
// by its script, Portuguese of Brazil; else by its primary language; nothing when unknown.
const LanguageInfo* LanguageOfLangId(std::uint16_t langid);

// One language's texts as a package or the uninstall information stores them.
struct TextTable {
  std::string language;  // a known code
  std::u16string brand;  // the vendor's word for the program; empty: "Kestrel"
  std::vector<std::pair<std::string, std::u16string>> texts;  // name, text
  std::string encoded{};  // the bytes it was read from in a package, kept for the install record
};
std::vector<std::uint8_t> EncodeTextTable(const TextTable& table);
// Nothing for bytes that are not a whole table.
std::optional<TextTable> DecodeTextTable(std::span<const std::uint8_t> bytes);

// Which language a run speaks: the one /LANG= names when the package has it (or its primary
// language's), else the user's interface language, then its primary language, then English.
// `available` are the tables the package carries; the result is the one to apply, nothing for
// plain English.
const TextTable* SelectLanguage(std::span<const TextTable> available, std::uint16_t userlangid,
                                std::string_view requested);

// A placeholder's name and what it stands for.
struct TextArg {
  std::u16string_view key;
  std::u16string_view value;
};

// Fills every {key} of `text` that `args` names; {brand} is `brand`. Others stay as they are.
std::u16string FillText(std::u16string_view text, std::u16string_view brand,
                        std::initializer_list<TextArg> args);

// The texts of this run: English unless a table was applied.
class Texts {
 public:
  static Texts& Current();

  // Back to English and "Kestrel".
  void Reset();
  // Takes over the table's texts; names it does not know are skipped, texts it lacks stay
  // English.
  void Apply(const TextTable& table);

  // The text with {brand} filled, kept until the language or the brand changes: most texts take
  // nothing else, and a reference spares every caller a copy.
  const std::u16string& Get(TextId id) const;
  std::u16string Get(TextId id, std::initializer_list<TextArg> args) const;
  // The vendor's word for the program; empty keeps the current one.
  void SetBrand(std::u16string_view brand);
  const std::u16string& brand() const { return brand_; }
  const std::string& language() const { return language_; }
  bool rtl() const { return rtl_; }

 private:
  Texts() { Reset(); }
  std::array<std::optional<std::u16string>, kTextCount> texts_;
  mutable std::array<std::u16string, kTextCount> shown_;
  std::u16string brand_;
  std::string language_;
  bool rtl_ = false;
};

// The text `id` in this run's language, its placeholders filled.
inline const std::u16string& Tr(TextId id) {
  return Texts::Current().Get(id);
}
inline std::u16string Tr(TextId id, std::initializer_list<TextArg> args) {
  return Texts::Current().Get(id, args);
}

}  // namespace kestrel
