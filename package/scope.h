// Who a package installs for: every user of the machine (the default, and what every package made
// before this key did), one user without administrator rights, or either, chosen when it runs.
// The package carries it in the Configuration record's extension (the manifest's `scope`).
#pragma once

#include <cstdint>

#include "package/extension.h"
#include "package/records.h"

namespace kestrel {

enum class InstallScope : std::uint8_t { kMachine = 0, kUser = 1, kEither = 2 };

// The package's scope; kMachine when it names none, or one this program does not know (a newer
// packer's), which is what setup did before scopes.
InstallScope PackageScope(const ConfigRecord& config);

// Adds the scope to an extension of the record's tail; nothing for kMachine. False when it does
// not fit.
bool AddPackageScope(ExtensionBuilder& tail, InstallScope scope);

}  // namespace kestrel
