#include "package/scope.h"

#include <span>

namespace kestrel {

InstallScope PackageScope(const ConfigRecord& config) {
  const auto view = ExtensionView::Parse(std::span<const std::uint8_t>(config.reserved11628));
  const auto item = view ? view->Find(ConfigTag::kScope) : std::nullopt;
  if (!item || item->size() != 1) return InstallScope::kMachine;
  const std::uint8_t v = (*item)[0];
  return v == 1 ? InstallScope::kUser : v == 2 ? InstallScope::kEither : InstallScope::kMachine;
}

bool AddPackageScope(ExtensionBuilder& tail, InstallScope scope) {
  if (scope == InstallScope::kMachine) return true;
  const std::uint8_t v = static_cast<std::uint8_t>(scope);
  return tail.Add(ConfigTag::kScope, std::span<const std::uint8_t>(&v, 1));
}

}  // namespace kestrel
