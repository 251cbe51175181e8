// The shared helpers that need Windows: the wide-or-8-bit switch, the program's own path, the
// command line, the Program Files folder and the registry readers.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// True when the system's major version is 5 or more: every call that exists in a wide and an
// 8-bit form is then made wide. Computed on first use and fixed for the run.
bool UseWideApi();

// Windows APIs spell UTF-16 as wchar_t; both are 16-bit on this platform.
inline const wchar_t* Wide(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
inline std::u16string FromWide(const wchar_t* s) {
  return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string();
}

// The full path of the running program's file.
std::u16string ProgramPath();
// The program's arguments; [0] is the program's own path. Wide systems split the UTF-16 command
// line; older ones split the 8-bit one.
std::vector<std::u16string> CommandLineArguments();
// One argument by index; empty past the last one.
std::u16string ParamStr(std::size_t index);

// The shell's Program Files folder, or the value the registry keeps for it on older systems.
std::u16string ProgramFilesFolder();
// The user's own programs folder (%LOCALAPPDATA%\Programs), made when missing: where an
// installation for one user goes. Empty when the shell cannot give it.
std::u16string UserProgramsFolder();
// True when the process has administrator rights (on systems with UAC: runs elevated).
bool RunningAsAdministrator();

// One string value under HKCU, HKCR or HKLM; the key is opened with full access and never
// created. A missing key or value yields `fallback`.
std::string ReadUserString(std::string_view key, std::string_view value, std::string_view fallback);
std::string ReadClassesString(std::string_view key, std::string_view value,
                              std::string_view fallback);
std::string ReadMachineString(std::string_view key, std::string_view value,
                              std::string_view fallback);

// One string value as UTF-16, read with the wide call so a path comes back exactly; the key is
// opened for reading only (in `view`: 0 or MachineKeyView). Empty when missing.
std::u16string ReadWideValue(HKEY root, std::string_view key, std::string_view value, REGSAM view);

// True for a 32-bit program running on 64-bit Windows (IsWow64Process, looked up by name).
bool RunningUnderWow64();
// The registry view flag to add to the access of a key under HKLM: KEY_WOW64_64KEY for the keys
// of InNativeRegistryView when RunningUnderWow64, else 0 (the program's own view; systems
// without the 32-bit layer would not know the flag).
REGSAM MachineKeyView(std::string_view key);
// Deletes one key that has no subkeys, in the view given by `view` (0 or MachineKeyView).
LONG DeleteRegistryKey(HKEY root, const std::string& path, REGSAM view);

// Loads DLLs only from the system folder from here on, so a DLL planted beside the program
// (a Downloads folder) is never picked up.
void RestrictDllSearch();
// Loads a DLL the program does not import at load time (only the DLLs the system always takes
// from its own folder are imported): from the system folder alone, or the side-by-side copy the
// manifest names; where the system knows no such restriction (before its 2011 update), by the
// search RestrictDllSearch narrowed. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);

}  // namespace kestrel
