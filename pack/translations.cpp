#include "pack/translations.h"

#include <algorithm>

namespace kestrel::pack {
namespace {

struct Translation {
  const char* language;
  const char* text;
};

// One row per text, in catalog order: its translations.
const std::vector<std::vector<Translation>>& Rows() {
  static const std::vector<std::vector<Translation>> rows = {
#define KESTREL_TEXT(id, english, ...) {__VA_ARGS__},
#include "sysutil/textcatalog.inc"
#undef KESTREL_TEXT
  };
  return rows;
}

}  // namespace

std::optional<std::string_view> CatalogText(TextId id, std::string_view language) {
  const LanguageInfo* l = FindLanguage(language);
  if (!l) return std::nullopt;
  if (l->code == "en") return EnglishText(id);
  for (const Translation& t : Rows()[static_cast<std::size_t>(id)]) {
    if (l->code == t.language) return std::string_view(t.text);
  }
  return std::nullopt;
}

std::vector<std::string> TranslatedLanguages() {
  std::vector<std::string> out;
  for (const LanguageInfo& l : KnownLanguages()) {
    if (l.code != "en") out.emplace_back(l.code);
  }
  return out;
}

std::vector<std::string> Placeholders(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t at = text.find('{'); at != text.npos; at = text.find('{', at + 1)) {
    const std::size_t close = text.find('}', at);
    if (close == text.npos) break;
    std::string key(text.substr(at + 1, close - at - 1));
    if (std::find(out.begin(), out.end(), key) == out.end()) out.push_back(std::move(key));
  }
  return out;
}

}  // namespace kestrel::pack
