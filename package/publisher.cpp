#include "package/publisher.h"

#include <span>

namespace kestrel {
namespace {

// A short text item: cut at 255 bytes and at a zero byte, like every short text of the record.
std::string ShortItem(const ExtensionView& view, ConfigTag tag) {
  const auto bytes = view.Find(tag);
  if (!bytes) return {};
  std::string text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (const auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
  if (text.size() > 255) text.resize(255);
  return text;
}

}  // namespace

PublisherInfo ReadPublisherInfo(const ConfigRecord& config) {
  PublisherInfo info;
  const auto view = ExtensionView::Parse(std::span<const std::uint8_t>(config.reserved11628));
  if (!view) return info;
  info.publisher = ShortItem(*view, ConfigTag::kPublisher);
  info.url = ShortItem(*view, ConfigTag::kUrl);
  return info;
}

bool AddPublisherInfo(ExtensionBuilder& tail, const PublisherInfo& info) {
  if (!info.publisher.empty() && !tail.Add(ConfigTag::kPublisher, info.publisher)) return false;
  if (!info.url.empty() && !tail.Add(ConfigTag::kUrl, info.url)) return false;
  return true;
}

}  // namespace kestrel
