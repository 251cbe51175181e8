// A product's identity: the one name that tells two products on a machine apart. It names the
// product's Uninstall key, its uninstaller and install record, and is stored in the App Paths key
// the product registers, so an install and an uninstall can tell its own entries from another
// product's. The package carries it in the Configuration record's extension (the manifest's
// `id`); a package without one, made before identities existed, is the product its Uninstall key
// was named after: its display name.
#pragma once

#include <string>
#include <string_view>

#include "package/extension.h"
#include "package/records.h"

namespace kestrel {

// The longest identity: a registry key name below the Uninstall key.
inline constexpr std::size_t kMaxProductIdBytes = 255;

// True for a text that names exactly one key below the Uninstall key and survives a command
// line: 1 to 255 code page bytes, no control character, no "\", not made of dots and blanks
// only. (The packer also refuses blanks around an `id`; a display name keeps its own.)
bool IsValidProductId(std::string_view id);

// The identity item when the record carries a valid one; otherwise the display name, which is
// what packages made before identities named their Uninstall key. Empty when neither is valid.
std::string ProductIdentity(const ConfigRecord& config);

// Adds the identity to an extension of the record's tail; false when it does not fit.
bool AddProductId(ExtensionBuilder& tail, std::string_view id);

// The product's own file names in its installation folder: "Uninstall " + this + ".exe" and
// ".dat". The identity made fit for a file name: characters a name cannot hold and control
// characters dropped, cut to 64 units, trailing dots and blanks gone; when that changed the
// identity, 8 hex digits of its CRC-32 follow, so two identities never share the names.
std::u16string UninstallerTag(std::string_view id);
std::u16string UninstallerName(std::string_view id);  // "Uninstall <tag>.exe"
std::u16string RecordName(std::string_view id);       // "Uninstall <tag>.dat"

}  // namespace kestrel
