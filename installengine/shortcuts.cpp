#include "installengine/shortcuts.h"

#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/texts.h"

namespace kestrel {

void SplitShortcutEntry(const std::u16string& entry, std::u16string& file,
                        std::u16string& arguments) {
  auto dash = entry.find(u'-');
  if (dash == std::u16string::npos) {
    file = entry;
    arguments.clear();
  } else {
    file = entry.substr(0, dash);
    arguments = entry.substr(dash);
  }
}

ShortcutPlan PlanShortcuts(const ShortcutInput& in) {
  const ConfigRecord& c = in.config;
  const std::u16string name =
      in.names ? in.names->displayname : FromCodePage(ReadShort(c.displayname));
  const std::u16string trimmed = TrimBlanks(name);
  const std::u16string linkname = CleanFileName(name) + u".lnk";
  const std::u16string dest = AddTrailingBackslash(in.destfolder);
  const std::u16string work = StripTrailingBackslash(in.destfolder);
  const std::u16string mainexe = dest + FromCodePage(ReadShort(c.exename));

  ShortcutPlan plan;
  plan.groupfolder =
      AddTrailingBackslash(StripTrailingBackslash(in.programsfolder) + ReadWide(c.programgroup));
  plan.grouprows.push_back({plan.groupfolder + linkname, mainexe, u"", trimmed, work});
  plan.grouprows.push_back(
      {AddTrailingBackslash(in.startmenufolder) + linkname, mainexe, u"", trimmed, work});
  for (int i = 0; i < 6; ++i) {
    const std::u16string entry = FromCodePage(ReadShort(c.shortcutfiles[i]));
    if (entry.empty()) break;
    const std::u16string caption =
        in.names ? in.names->shortcutcaptions[i] : FromCodePage(ReadShort(c.shortcutcaptions[i]));
    std::u16string file, arguments;
    SplitShortcutEntry(entry, file, arguments);
    plan.grouprows.push_back({plan.groupfolder + CleanFileName(caption) + u".lnk", dest + file,
                              arguments, TrimBlanks(caption), work});
  }
  const std::u16string uninstall = Tr(TextId::shortcut_uninstall, {{u"name", trimmed}});
  if (in.uninstaller.empty()) {
    plan.grouprows.push_back(
        {plan.groupfolder + CleanFileName(uninstall) + u".lnk",
         AddTrailingBackslash(in.windowsfolder) + std::u16string(kUninstallerName),
         u"-ui " + FromCodePage(ReadShort(c.exename)), uninstall, in.windowsfolder});
  } else {
    plan.grouprows.push_back({plan.groupfolder + CleanFileName(uninstall) + u".lnk", in.uninstaller,
                              in.uninstallarguments, uninstall,
                              StripTrailingBackslash(FolderPart(in.uninstaller))});
  }
  plan.desktop = {AddTrailingBackslash(in.desktopfolder) + linkname, mainexe, u"", trimmed, work};
  return plan;
}

}  // namespace kestrel
