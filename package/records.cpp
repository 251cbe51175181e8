#include "package/records.h"

#include <cstring>

#include "package/extension.h"

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

std::optional<std::uint32_t> FileContentCrc(const DirectoryRecord& record) {
  const auto view = ExtensionView::Parse(record.reserved6192);
  if (!view) return std::nullopt;
  const auto item = view->Find(FileTag::kContentCrc);
  if (!item || item->size() != 4) return std::nullopt;
  return LoadLe32(item->data());
}

void SetFileContentCrc(DirectoryRecord& record, std::uint32_t crc) {
  std::uint8_t bytes[4];
  StoreLe32(bytes, crc);
  ExtensionBuilder b(record.reserved6192);
  b.Add(FileTag::kContentCrc, std::span<const std::uint8_t>(bytes));
  b.Finish();
}

}  // namespace kestrel
