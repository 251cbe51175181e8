// Writes registry rows through the 8-bit registry calls (Windows side of the registration).
#pragma once

#include <vector>

#include "installengine/registration.h"

namespace kestrel {

// Each row: its key opened with full access (created with any missing parents), then its
// string value set. A row that fails is skipped; the others are still written.
void WriteRegistryRows(const std::vector<RegistryRow>& rows);

}  // namespace kestrel
