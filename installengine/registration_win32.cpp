#include "installengine/registration_win32.h"

#include <windows.h>

#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/handles_win32.h"
#include "sysutil/productsystem_win32.h"

namespace kestrel {

HKEY RootKey(RegRoot root) {
  return RootHandle(root);
}

std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows) {
  std::vector<unsigned long> errors;
  errors.reserve(rows.size());
  for (const RegistryRow& row : rows) {
    win::RegKey key;
    // App Paths in the view the system's shell reads (MachineKeyView); the rest in our own
    const REGSAM view = KeyView(row.root, row.key);
    LONG r =
        RegCreateKeyExA(RootKey(row.root), row.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | view, nullptr, key.out(), nullptr);
    if (r == ERROR_SUCCESS) {
      const char* name = row.name.empty() ? nullptr : row.name.c_str();
      if (row.type == RegType::kDword) {
        const DWORD v = row.dword;
        r = RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                           sizeof v);
      } else if (row.type == RegType::kWideString) {
        const std::u16string wname = FromCodePage(row.name);
        r = RegSetValueExW(key.get(), row.name.empty() ? nullptr : Wide(wname), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(row.wide.c_str()),
                           static_cast<DWORD>((row.wide.size() + 1) * sizeof(char16_t)));
      } else {
        r = RegSetValueExA(key.get(), name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(row.value.c_str()),
                           static_cast<DWORD>(row.value.size() + 1));
      }
    }
    errors.push_back(static_cast<unsigned long>(r));
  }
  return errors;
}

}  // namespace kestrel
