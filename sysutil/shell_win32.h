// Shell folders, shortcuts and the running-window finder (Windows side).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kestrel {

// The special folders, from the shell on wide systems (created when missing), otherwise from
// the "Shell Folders" registry values. Empty when the system cannot tell.
std::u16string DesktopFolder();
std::u16string AppDataFolder();
std::u16string WindowsFolder();
std::u16string StartMenuFolder();
std::u16string ProgramsFolder();

// The first top-level window whose title (8-bit, at most 255 characters) matches the pattern,
// letter case ignored; "*" matches any run. Null when none does or the pattern is empty.
HWND FindWindowByPattern(std::string_view pattern);
// The first top-level window whose title begins with the pattern up to its final "*", taken
// literally (MatchTitleHead): how a running copy of the product is found.
HWND FindProductWindow(std::string_view pattern);

// Writes a shell link. 0, or the failure's error code (a Win32 code when the failing call gave
// one, its HRESULT otherwise); a link that failed is missing.
unsigned long CreateShortcut(const std::u16string& target, const std::u16string& arguments,
                             const std::u16string& description, const std::u16string& workfolder,
                             const std::u16string& linkfile);

}  // namespace kestrel
