// The shortcuts an installation makes, computed as data; the Win32 shell saves them.
#pragma once

#include <string>
#include <vector>

#include "package/locale.h"
#include "package/records.h"

namespace kestrel {

struct ShortcutRow {
  std::u16string linkfile;
  std::u16string target;
  std::u16string arguments;
  std::u16string description;
  std::u16string workfolder;
};

struct ShortcutInput {
  const ConfigRecord& config;
  std::u16string destfolder;
  std::u16string programsfolder;   // ProgramsFolder()
  std::u16string startmenufolder;  // StartMenuFolder()
  std::u16string windowsfolder;    // WindowsFolder()
  std::u16string desktopfolder;    // DesktopFolder()
  // The product's own uninstaller and its arguments; empty: the shared copy in the Windows
  // folder with "-ui" and the main program's name, as packages of earlier versions link it.
  std::u16string uninstaller{};
  std::u16string uninstallarguments{};
  // The names in any script for the links' files and captions; nothing: the 8-bit fields.
  const ProductNames* names = nullptr;
};

struct ShortcutPlan {
  // Made with CreateFolderChain first; the group rows are created only when that succeeds.
  std::u16string groupfolder;
  // Program in the group, program in the Start Menu, the extra shortcuts, uninstall; in order.
  std::vector<ShortcutRow> grouprows;
  // Made in every case, after the group rows.
  ShortcutRow desktop;
};

ShortcutPlan PlanShortcuts(const ShortcutInput& in);

// An extra shortcut entry's text split at its first "-": the file part before it (unchanged,
// a blank before the "-" stays), the arguments from the "-" on.
void SplitShortcutEntry(const std::u16string& entry, std::u16string& file,
                        std::u16string& arguments);

}  // namespace kestrel
