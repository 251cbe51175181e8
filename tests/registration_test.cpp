#include "installengine/registration.h"

#include <gtest/gtest.h>

#include "installengine/shortcuts.h"
#include "package/identity.h"
#include "package/locale.h"
#include "package/publisher.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

namespace kestrel {
namespace {

ConfigRecord Config() {
  ConfigRecord c{};
  WriteShort(c.exename, "tool.exe");
  WriteShort(c.displayname, "Halvard Tool");
  WriteWide(c.programgroup, u"\\Halvard\\Tool");
  WriteShort(c.appdatafolder, "HalvardTool");
  WriteShort(c.shortcutfiles[0], "viewer.exe");
  WriteShort(c.shortcutcaptions[0], "Viewer");
  WriteShort(c.shortcutfiles[1], "edit.exe -e");
  WriteShort(c.shortcutcaptions[1], " Editor ");
  return c;
}

TEST(Registration, AppPathsRowsInOrderWithEncodedPaths) {
  const ConfigRecord c = Config();
  const auto rows =
      AppPathsRows({c, u"C:\\Apps\\Tool\\", u"C:\\Users\\me\\Desktop", u"C:\\Windows"});
  ASSERT_EQ(rows.size(), 6u);
  const std::string key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\tool.exe";
  for (const auto& r : rows) {
    EXPECT_EQ(r.root, RegRoot::kLocalMachine);
    EXPECT_EQ(r.key, key);
  }
  EXPECT_EQ(rows[0].name, "");
  EXPECT_EQ(rows[0].type, RegType::kWideString);         // a path reads back exactly
  EXPECT_EQ(rows[0].wide, u"C:\\Apps\\Tool\\tool.exe");  // one backslash between
  EXPECT_EQ(rows[1].name, "Path");
  EXPECT_EQ(DecodeLetterHex(rows[1].value), u"C:\\Apps\\Tool\\");  // kept as entered
  EXPECT_EQ(rows[2].name, "Displayname");
  EXPECT_EQ(rows[2].value, "Halvard Tool");
  EXPECT_EQ(rows[3].name, "Startpath");
  EXPECT_EQ(DecodeLetterHex(rows[3].value), u"\\Halvard\\Tool");
  EXPECT_EQ(rows[4].name, "Desktop");
  EXPECT_EQ(DecodeLetterHex(rows[4].value), u"C:\\Users\\me\\Desktop\\Halvard Tool.lnk");
  EXPECT_EQ(rows[5].name, "AppData");
  EXPECT_EQ(rows[5].value, "HalvardTool");
}

TEST(Registration, DesktopValueNamesTheCleanedLinkFile) {
  ConfigRecord c = Config();
  WriteShort(c.displayname, "Tool: Pro?");
  const auto rows = AppPathsRows({c, u"C:\\T", u"D:\\Desk", u"C:\\Windows"});
  EXPECT_EQ(DecodeLetterHex(rows[4].value), u"D:\\Desk\\Tool Pro.lnk");
  EXPECT_EQ(rows[2].value, "Tool: Pro?");
}

TEST(Registration, AssociationWithTheMainProgram) {
  ConfigRecord c = Config();
  WriteShort(c.assocext, ".htl");
  WriteShort(c.assocclass, "Brimlow.MXA");
  WriteShort(c.assocdescription, "Tool document");
  WriteShort(c.assocprogram, "tool.exe");
  const auto rows = AssociationRows({c, u"C:\\T", u"", u""});
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0].root, RegRoot::kClassesRoot);
  EXPECT_EQ(rows[0].key, ".htl");
  EXPECT_EQ(rows[0].value, "Brimlow.MXA");
  EXPECT_EQ(rows[1].key, "Brimlow.MXA");
  EXPECT_EQ(rows[1].value, "Tool document");
  EXPECT_EQ(rows[2].key, "Brimlow.MXA\\DefaultIcon");
  EXPECT_EQ(rows[2].wide, u"\"C:\\T\\tool.exe\"");
  EXPECT_EQ(rows[3].key, "Brimlow.MXA\\shell\\open\\command");
  EXPECT_EQ(rows[3].wide, u"\"C:\\T\\tool.exe\" \"%1\"");
  EXPECT_EQ(rows[4].key, "Brimlow.MXA\\shell\\mxaopen");
  EXPECT_EQ(rows[4].value, "Open with ");
  EXPECT_EQ(rows[5].key, "Brimlow.MXA\\shell\\mxaopen\\command");
  EXPECT_EQ(rows[5].wide, rows[3].wide);
  EXPECT_EQ(rows[6].root, RegRoot::kLocalMachine);
  EXPECT_EQ(rows[6].key, "software\\microsoft\\windows\\currentversion\\app paths\\tool.exe\\");
  EXPECT_EQ(rows[6].name, "fileassociations");
  EXPECT_EQ(rows[6].value, ".htl");
}

TEST(Registration, AssociationWithTheSecondShortcutEntryOrNoMatch) {
  ConfigRecord c = Config();
  WriteShort(c.assocext, ".htl");
  WriteShort(c.assocclass, "Other.Class");
  WriteShort(c.assocprogram, "edit.exe -e");
  auto rows = AssociationRows({c, u"C:\\T\\", u"", u""});
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0].value, "Other.Class");  // the class keys go to the package's class
  EXPECT_EQ(rows[1].key, "Other.Class");
  EXPECT_EQ(rows[3].key, "Other.Class\\shell\\open\\command");
  EXPECT_EQ(rows[3].wide, u"\"C:\\T\\edit.exe -e\" \"%1\"");
  EXPECT_EQ(rows[4].value, "Open with  Editor ");

  WriteShort(c.assocprogram, "TOOL.EXE");  // letter case counts
  EXPECT_TRUE(AssociationRows({c, u"C:\\T", u"", u""}).empty());
  WriteShort(c.assocext, "");
  WriteShort(c.assocprogram, "tool.exe");
  EXPECT_TRUE(AssociationRows({c, u"C:\\T", u"", u""}).empty());
}

TEST(Registration, EmptyAssocProgramMatchesTheFirstEmptyShortcutEntry) {
  ConfigRecord c = Config();
  WriteShort(c.assocext, ".htl");
  WriteShort(c.assocprogram, "");
  const auto rows = AssociationRows({c, u"C:\\T", u"", u""});
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[2].wide, u"\"C:\\T\\\"");  // the installation folder itself
  EXPECT_EQ(rows[4].value, "Open with ");   // entry 2's caption is empty
}

TEST(Registration, ServicesUpToTheFirstEmptyEntryAndTheUninstallKey) {
  ConfigRecord c = Config();
  WriteShort(c.servicefiles[0], "svc\\one.exe");
  WriteShort(c.servicenames[0], "One");
  WriteShort(c.servicefiles[1], "two.exe");
  WriteShort(c.servicenames[1], "Two");
  WriteShort(c.servicefiles[3], "four.exe");  // behind an empty entry: ignored
  WriteShort(c.servicenames[3], "Four");
  const auto services = ConfiguredServices(c, u"C:\\Program Files\\T");
  ASSERT_EQ(services.size(), 2u);
  EXPECT_EQ(services[0].programpath, u"C:\\Program Files\\T\\svc\\one.exe");  // unquoted
  EXPECT_EQ(services[1].name, "Two");

  const RegistrationInput in{c, u"C:\\T", u"", u"C:\\Windows"};
  const auto rows = ServiceRows(in, services[1]);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "service1");
  EXPECT_EQ(rows[0].value, "two.exe");
  EXPECT_EQ(rows[1].name, "servicenames1");
  EXPECT_EQ(rows[1].value, "Two");

  RegistrationInput named{c, u"C:\\T", u"", u"C:\\Windows"};
  named.identity = "com.halvard.tool";
  named.uninstaller = u"C:\\T\\Uninstall com.halvard.tool.exe";
  const auto un = UninstallRows(named);
  ASSERT_EQ(un.size(), 10u);  // no date given, no publisher or web page in the package
  EXPECT_EQ(un[0].key, "software\\microsoft\\windows\\currentversion\\uninstall\\com.halvard.tool");
  EXPECT_EQ(un[0].name, "DisplayName");
  EXPECT_EQ(un[1].name, "UninstallString");
  EXPECT_EQ(un[1].wide,
            u"\"C:\\T\\Uninstall com.halvard.tool.exe\" -ui tool.exe /PRODUCT=com.halvard.tool");

  WriteShort(c.servicefiles[0], "");
  EXPECT_TRUE(ConfiguredServices(c, u"C:\\T").empty());
}

// The whole Uninstall key, in order; texts as the installed-programs list reads them.
TEST(Registration, FullUninstallEntry) {
  struct Case {
    std::string publisher, url, exename;
    std::uint64_t bytes;
    std::vector<std::string> rows;  // name=value, dwords as "#n"
  };
  const std::string k = "software\\microsoft\\windows\\currentversion\\uninstall\\Halvard Tool";
  const Case cases[] = {
      {"Halvard Ltd",
       "https://halvard.example/tool",
       "tool.exe",
       1025,
       {"DisplayName=Halvard Tool",
        "UninstallString=\"C:\\Apps\\Tool\\Uninstall Halvard Tool.exe\" -ui tool.exe "
        "\"/PRODUCT=Halvard Tool\"",
        "QuietUninstallString=\"C:\\Apps\\Tool\\Uninstall Halvard Tool.exe\" -ui tool.exe "
        "\"/PRODUCT=Halvard Tool\" /S",
        "DisplayVersion=2.5", "Publisher=Halvard Ltd", "DisplayIcon=C:\\Apps\\Tool\\tool.exe",
        "InstallLocation=C:\\Apps\\Tool\\",
        "InstallRecord=C:\\Apps\\Tool\\Uninstall Halvard Tool.dat", "EstimatedSize=#2",
        "InstallDate=20261208", "NoModify=#1", "NoRepair=#1",
        "URLInfoAbout=https://halvard.example/tool"}},
      // an older packer's record: no extension, so neither Publisher nor the web page
      {"",
       "",
       "my tool.exe",
       0,
       {"DisplayName=Halvard Tool",
        "UninstallString=\"C:\\Apps\\Tool\\Uninstall Halvard Tool.exe\" -ui \"my tool.exe\" "
        "\"/PRODUCT=Halvard Tool\"",
        "QuietUninstallString=\"C:\\Apps\\Tool\\Uninstall Halvard Tool.exe\" -ui \"my tool.exe\" "
        "\"/PRODUCT=Halvard Tool\" /S",
        "DisplayVersion=2.5", "DisplayIcon=C:\\Apps\\Tool\\my tool.exe",
        "InstallLocation=C:\\Apps\\Tool\\",
        "InstallRecord=C:\\Apps\\Tool\\Uninstall Halvard Tool.dat", "EstimatedSize=#0",
        "InstallDate=20261208", "NoModify=#1", "NoRepair=#1"}},
  };
  for (const Case& t : cases) {
    ConfigRecord c = Config();
    WriteShort(c.version, "2.5");
    WriteShort(c.exename, t.exename);
    ExtensionBuilder tail{std::span<std::uint8_t>(c.reserved11628)};
    ASSERT_TRUE(AddPublisherInfo(tail, {t.publisher, t.url}));
    tail.Finish();
    RegistrationInput in{c, u"C:\\Apps\\Tool\\", u"C:\\Desk", u"C:\\Windows"};
    in.installedbytes = t.bytes;
    in.installdate = "20261208";
    in.identity = ProductIdentity(c);  // an older packer's record: the display name
    in.uninstaller = u"C:\\Apps\\Tool\\" + UninstallerName(in.identity);
    in.recordpath = u"C:\\Apps\\Tool\\" + RecordName(in.identity);
    std::vector<std::string> got;
    for (const auto& r : UninstallRows(in)) {
      EXPECT_EQ(r.key, k);
      EXPECT_EQ(r.root, RegRoot::kLocalMachine);
      got.push_back(r.name + "=" +
                    (r.type == RegType::kDword        ? "#" + std::to_string(r.dword)
                     : r.type == RegType::kWideString ? Utf16ToUtf8(r.wide)
                                                      : r.value));
    }
    EXPECT_EQ(got, t.rows);
  }
}

TEST(Registration, PublisherInfoOnlyFromAValidExtension) {
  ConfigRecord c{};
  EXPECT_TRUE(ReadPublisherInfo(c).publisher.empty());  // zeros: an older packer
  ExtensionBuilder tail{std::span<std::uint8_t>(c.reserved11628)};
  ASSERT_TRUE(AddPublisherInfo(tail, {"Halvard", "https://h.example"}));
  tail.Finish();
  EXPECT_EQ(ReadPublisherInfo(c).publisher, "Halvard");
  EXPECT_EQ(ReadPublisherInfo(c).url, "https://h.example");
  c.reserved11628[12] ^= 0x40;  // one flipped bit: the CRC fails, nothing is read
  EXPECT_TRUE(ReadPublisherInfo(c).publisher.empty());
  EXPECT_TRUE(ReadPublisherInfo(c).url.empty());
  for (std::size_t i = 0; i < sizeof c.reserved11628; ++i) {  // noise everywhere
    c.reserved11628[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  EXPECT_TRUE(ReadPublisherInfo(c).publisher.empty());
}

ShortcutInput Folders(const ConfigRecord& c) {
  return {c, u"C:\\Apps\\Tool\\", u"C:\\Menu\\Programs", u"C:\\Menu", u"C:\\Windows", u"C:\\Desk"};
}

TEST(Shortcuts, TheFiveKindsInTableOrder) {
  const ConfigRecord c = Config();
  const ShortcutPlan plan = PlanShortcuts(Folders(c));
  EXPECT_EQ(plan.groupfolder, u"C:\\Menu\\Programs\\Halvard\\Tool\\");
  ASSERT_EQ(plan.grouprows.size(), 5u);
  const auto& g = plan.grouprows;
  EXPECT_EQ(g[0].linkfile, u"C:\\Menu\\Programs\\Halvard\\Tool\\Halvard Tool.lnk");
  EXPECT_EQ(g[0].target, u"C:\\Apps\\Tool\\tool.exe");
  EXPECT_EQ(g[0].arguments, u"");
  EXPECT_EQ(g[0].description, u"Halvard Tool");
  EXPECT_EQ(g[0].workfolder, u"C:\\Apps\\Tool");
  EXPECT_EQ(g[1].linkfile, u"C:\\Menu\\Halvard Tool.lnk");
  EXPECT_EQ(g[1].target, g[0].target);
  EXPECT_EQ(g[2].linkfile, u"C:\\Menu\\Programs\\Halvard\\Tool\\Viewer.lnk");
  EXPECT_EQ(g[2].target, u"C:\\Apps\\Tool\\viewer.exe");
  EXPECT_EQ(g[3].linkfile, u"C:\\Menu\\Programs\\Halvard\\Tool\\ Editor .lnk");
  EXPECT_EQ(g[3].target, u"C:\\Apps\\Tool\\edit.exe ");  // the blank before "-" stays
  EXPECT_EQ(g[3].arguments, u"-e");
  EXPECT_EQ(g[3].description, u"Editor");
  EXPECT_EQ(g[4].linkfile, u"C:\\Menu\\Programs\\Halvard\\Tool\\Uninstall Halvard Tool.lnk");
  EXPECT_EQ(g[4].target, u"C:\\Windows\\kestrelui.exe");
  EXPECT_EQ(g[4].arguments, u"-ui tool.exe");
  EXPECT_EQ(g[4].description, u"Uninstall Halvard Tool");
  EXPECT_EQ(g[4].workfolder, u"C:\\Windows");
  EXPECT_EQ(plan.desktop.linkfile, u"C:\\Desk\\Halvard Tool.lnk");
  EXPECT_EQ(plan.desktop.target, g[0].target);
}

TEST(Shortcuts, SixExtraEntriesAndNoSeventhAndCleanedNames) {
  ConfigRecord c = Config();
  WriteShort(c.displayname, "Tool: Pro?");
  for (int i = 0; i < 6; ++i) {
    WriteShort(c.shortcutfiles[i], "t" + std::to_string(i) + ".exe -x -y");
    WriteShort(c.shortcutcaptions[i], "T" + std::to_string(i));
  }
  const ShortcutPlan plan = PlanShortcuts(Folders(c));
  ASSERT_EQ(plan.grouprows.size(), 9u);  // program, start menu, six, uninstall
  EXPECT_EQ(plan.grouprows[7].arguments, u"-x -y");
  EXPECT_EQ(plan.grouprows[7].target, u"C:\\Apps\\Tool\\t5.exe ");
  EXPECT_EQ(plan.grouprows[0].linkfile, u"C:\\Menu\\Programs\\Halvard\\Tool\\Tool Pro.lnk");
  EXPECT_EQ(plan.grouprows[0].description, u"Tool: Pro?");  // descriptions keep them
  EXPECT_EQ(plan.grouprows[8].linkfile,
            u"C:\\Menu\\Programs\\Halvard\\Tool\\Uninstall Tool Pro.lnk");
}

// A product named beyond Windows-1252: its links and its uninstall entry carry the names as
// the package gives them in UTF-16, never their 8-bit forms.
TEST(Shortcuts, NamesInAnyScript) {
  ConfigRecord c = Config();
  WriteShort(c.displayname, "_____ ___");  // the 8-bit form of the Greek name
  WriteShort(c.shortcutfiles[0], "viewer.exe");
  WriteShort(c.shortcutcaptions[0], "____");
  ProductNames names = ResolveNames(c, {});
  names.displayname =
      u"\u0391\u03b8\u03ae\u03bd\u03b1: \u03a3\u03b7\u03bc";  // with a ":" a file name drops
  names.shortcutcaptions[0] = u"\u8868\u793a";
  ShortcutInput in = Folders(c);
  in.names = &names;
  const ShortcutPlan plan = PlanShortcuts(in);
  ASSERT_EQ(plan.grouprows.size(), 5u);  // program, start menu, two entries, uninstall
  // the links are named and captioned as the product and its entries are
  const std::u16string group = u"C:\\Menu\\Programs\\Halvard\\Tool\\";
  EXPECT_EQ(plan.grouprows[0].linkfile,
            group + u"\u0391\u03b8\u03ae\u03bd\u03b1 \u03a3\u03b7\u03bc.lnk");
  EXPECT_EQ(plan.grouprows[0].description, names.displayname);
  EXPECT_EQ(plan.grouprows[2].linkfile, group + u"\u8868\u793a.lnk");
  EXPECT_EQ(plan.grouprows[3].linkfile, group + u" Editor .lnk");  // its 8-bit name
  EXPECT_EQ(plan.grouprows[4].linkfile,
            group + u"Uninstall \u0391\u03b8\u03ae\u03bd\u03b1 \u03a3\u03b7\u03bc.lnk");
  EXPECT_EQ(plan.desktop.linkfile,
            u"C:\\Desk\\\u0391\u03b8\u03ae\u03bd\u03b1 \u03a3\u03b7\u03bc.lnk");

  EXPECT_EQ(plan.grouprows[0].description, names.displayname);
  EXPECT_EQ(plan.grouprows[2].description, u"\u8868\u793a");
  EXPECT_EQ(plan.grouprows[4].description,
            u"Uninstall \u0391\u03b8\u03ae\u03bd\u03b1: \u03a3\u03b7\u03bc");

  RegistrationInput reg{c, u"C:\\T", u"", u"C:\\Windows"};
  reg.identity = "com.halvard.greek";
  reg.displayname = names.displayname;
  const auto rows = UninstallRows(reg);
  ASSERT_EQ(rows[0].name, "DisplayName");
  EXPECT_EQ(rows[0].type, RegType::kWideString);
  EXPECT_EQ(rows[0].wide, names.displayname);
}

TEST(Shortcuts, EntryWithoutDashHasNoArguments) {
  std::u16string file, args = u"stale";
  SplitShortcutEntry(u"readme.txt", file, args);
  EXPECT_EQ(file, u"readme.txt");
  EXPECT_EQ(args, u"");
  SplitShortcutEntry(u"a-b-c", file, args);
  EXPECT_EQ(file, u"a");
  EXPECT_EQ(args, u"-b-c");
}

// Which view each HKLM row lands in: the App Paths record (and the rows that extend it) in the
// 64-bit one that the shell reads, the Uninstall key in the program's own view.
TEST(Registration, AppPathsRowsAloneGoToTheNativeView) {
  ConfigRecord c = Config();
  WriteShort(c.assocext, ".htl");
  WriteShort(c.assocclass, "Brimlow.MXA");
  WriteShort(c.assocprogram, "tool.exe");
  WriteShort(c.servicefiles[0], "svc\\one.exe");
  WriteShort(c.servicenames[0], "One");
  const RegistrationInput in{c, u"C:\\T", u"D:\\Desk", u"C:\\Windows"};
  std::vector<RegistryRow> rows = AppPathsRows(in);
  for (const auto& r : AssociationRows(in)) rows.push_back(r);
  for (const auto& s : ConfiguredServices(c, in.destfolder)) {
    for (const auto& r : ServiceRows(in, s)) rows.push_back(r);
  }
  int native = 0;
  for (const auto& r : rows) {
    if (r.root != RegRoot::kLocalMachine) continue;
    EXPECT_TRUE(InNativeRegistryView(r.key)) << r.key;
    ++native;
  }
  EXPECT_EQ(native, 6 + 1 + 2);  // the record, "fileassociations", one service's two values
  for (const auto& r : UninstallRows(in)) EXPECT_FALSE(InNativeRegistryView(r.key)) << r.key;

  const struct {
    const char* key;
    bool native;
  } cases[] = {
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths", true},
      {"software\\microsoft\\windows\\currentversion\\app paths\\x.exe\\", true},
      {"SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\APP PATHS\\X.EXE", true},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths2\\x.exe", false},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Path", false},
      {"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\x.exe", false},
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", false},
      {"", false},
  };
  for (const auto& k : cases) EXPECT_EQ(InNativeRegistryView(k.key), k.native) << k.key;
}

}  // namespace
}  // namespace kestrel
