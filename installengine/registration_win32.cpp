#include "installengine/registration_win32.h"

#include <windows.h>

#include "sysutil/cmfunit_win32.h"
#include "sysutil/handles_win32.h"

namespace kestrel {

HKEY RootKey(RegRoot root) {
  switch (root) {
    case RegRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RegRoot::kClassesRoot:
      return HKEY_CLASSES_ROOT;
  }
  return HKEY_LOCAL_MACHINE;
}

void WriteRegistryRows(const std::vector<RegistryRow>& rows) {
  for (const RegistryRow& row : rows) {
    win::RegKey key;
    // App Paths in the view the system's shell reads (MachineKeyView); the rest in our own
    const REGSAM view = row.root == RegRoot::kLocalMachine ? MachineKeyView(row.key) : 0;
    if (RegCreateKeyExA(RootKey(row.root), row.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | view, nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
      continue;
    }
    const char* name = row.name.empty() ? nullptr : row.name.c_str();
    if (row.type == RegType::kDword) {
      const DWORD v = row.dword;
      RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    } else {
      RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(row.value.c_str()),
                     static_cast<DWORD>(row.value.size() + 1));
    }
  }
}

}  // namespace kestrel
