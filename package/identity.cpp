#include "package/identity.h"

#include <span>

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

namespace kestrel {

bool IsValidProductId(std::string_view id) {
  if (id.empty() || id.size() > kMaxProductIdBytes) return false;
  if (id.find_first_not_of(". ") == std::string_view::npos) return false;
  for (char c : id) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '\\') return false;
  }
  return true;
}

std::string ProductIdentity(const ConfigRecord& config) {
  if (const auto view = ExtensionView::Parse(std::span<const std::uint8_t>(config.reserved11628))) {
    if (const auto item = view->Find(ConfigTag::kProductId)) {
      std::string id(reinterpret_cast<const char*>(item->data()), item->size());
      if (IsValidProductId(id)) return id;
    }
  }
  // the display name as its Uninstall key was named; a character no key name can hold is made
  // a "_", so every package still installs
  std::string name = ReadShort(config.displayname);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '\\') c = '_';
  }
  return IsValidProductId(name) ? name : std::string();
}

bool AddProductId(ExtensionBuilder& tail, std::string_view id) {
  return tail.Add(ConfigTag::kProductId, id);
}

std::u16string UninstallerTag(std::string_view id) {
  constexpr std::size_t kMaxTagUnits = 64;
  const std::u16string whole = FromCodePage(id);
  std::u16string tag;
  for (char16_t c : whole) {
    if (c < 0x20 || c == 0x7F) continue;
    if (std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) continue;
    tag.push_back(c);
  }
  if (tag.size() > kMaxTagUnits) tag.resize(kMaxTagUnits);
  while (!tag.empty() && (tag.back() == u'.' || tag.back() == u' ')) tag.pop_back();
  while (!tag.empty() && tag.front() == u' ') tag.erase(tag.begin());
  if (tag != whole) {
    const std::uint32_t crc = Crc32(id.data(), id.size());
    std::u16string hex = u"-";
    for (int shift = 28; shift >= 0; shift -= 4)
      hex.push_back(u"0123456789abcdef"[(crc >> shift) & 15]);
    tag += hex;
  }
  return tag;
}

std::u16string UninstallerName(std::string_view id) {
  return u"Uninstall " + UninstallerTag(id) + u".exe";
}

std::u16string RecordName(std::string_view id) {
  return u"Uninstall " + UninstallerTag(id) + u".dat";
}

}  // namespace kestrel
