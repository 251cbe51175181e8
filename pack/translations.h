// The catalog's translations, which only the packer carries: it stores the languages a manifest
// selects in the package, with the vendor's own texts laid over them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sysutil/texts.h"

namespace kestrel::pack {

// The catalog's text `id` in `language` (a known code); nothing when the catalog lacks it.
// English is the built-in text.
std::optional<std::string_view> CatalogText(TextId id, std::string_view language);

// The languages the catalog translates, English not counted, in catalog order.
std::vector<std::string> TranslatedLanguages();

// The placeholders a text uses, each once, in order of appearance: "{name}" gives "name".
std::vector<std::string> Placeholders(std::string_view text);

}  // namespace kestrel::pack
