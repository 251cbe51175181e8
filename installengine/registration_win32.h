// Writes registry rows (Windows side of the registration): keys through the 8-bit calls, string
// values through the 8-bit or the wide call as the row says.
#pragma once

#include <windows.h>

#include <vector>

#include "installengine/registration.h"

namespace kestrel {

// The system's handle of one of the roots the registration tables name.
HKEY RootKey(RegRoot root);

// Each row: its key opened with full access (created with any missing parents), then its
// value set. A row that fails is skipped; the others are still written. Each row's outcome: 0,
// or the error code of the call that failed.
std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows);

}  // namespace kestrel
