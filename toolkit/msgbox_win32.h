// The program's three modal message boxes, each owned by the window that raises it.
#pragma once

#include <windows.h>

#include <string_view>

namespace kestrel::ui {

// Caption "Error", error icon, one OK button.
void ErrorBox(HWND owner, std::u16string_view text);
// Caption "Warning", warning icon, "&Yes" (the default) and "&No" (also Escape and the close
// box). True for Yes.
bool WarningBox(HWND owner, std::u16string_view text);
// Caption "Confirm", question icon, Yes and No. True only for Yes.
bool ConfirmBox(HWND owner, std::u16string_view text);

// Control IDs of the Warning box, as in the system's own message boxes.
inline constexpr int kBoxTextId = 0xFFFF;
inline constexpr int kBoxIconId = 0x0014;

}  // namespace kestrel::ui
