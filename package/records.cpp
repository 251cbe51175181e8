#include "package/records.h"

#include <cstring>

namespace kestrel {

std::u16string ReadWide(const WideText& field) {
  std::size_t n = 0;
  while (n < kWideTextUnits && field.units[n] != 0) ++n;
  return std::u16string(field.units, n);
}

bool WriteWide(WideText& field, std::u16string_view text) {
  if (text.size() > kWideTextUnits || text.find(u'\0') != std::u16string_view::npos) return false;
  std::size_t i = 0;
  for (; i < text.size(); ++i) field.units[i] = text[i];
  for (; i < kWideTextUnits; ++i) field.units[i] = 0;
  return true;
}

bool HasSetupMarker(const ConfigRecord& config) {
  return config.setupmarker.length == kSetupMarker.size() &&
         std::memcmp(config.setupmarker.chars, kSetupMarker.data(), kSetupMarker.size()) == 0;
}

}  // namespace kestrel
