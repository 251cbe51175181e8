// Writes registry rows through the 8-bit registry calls (Windows side of the registration).
#pragma once

#include <windows.h>

#include <vector>

#include "installengine/registration.h"

namespace kestrel {

// The system's handle of one of the roots the registration tables name.
HKEY RootKey(RegRoot root);

// Each row: its key opened with full access (created with any missing parents), then its
// string value set. A row that fails is skipped; the others are still written.
void WriteRegistryRows(const std::vector<RegistryRow>& rows);

}  // namespace kestrel
