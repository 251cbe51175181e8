#include "sysutil/folderguard.h"

#include <gtest/gtest.h>

#include <map>

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "uninstall/uninstallplan.h"

namespace kestrel {
namespace {

std::string U8(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

// A file system as a table: objects by long path, other spellings (short names, links) that
// resolve to them, identities that may be shared (a junction is its target).
class TableFacts final : public PathFacts {
 public:
  bool eightbit = false;  // the 8-bit calls: only what round-trips through the code page
  bool identities = true;

  void Add(const std::u16string& longpath, PathKind kind, FileIdentity id) {
    objects_[FoldPath(longpath)] = {longpath, kind, id};
  }
  void Alias(const std::u16string& spelling, const std::u16string& target) {
    aliases_[FoldPath(spelling)] = target;
  }

  PathKind KindOf(const std::u16string& p) override {
    const Object* o = Find(p);
    return o ? o->kind : PathKind::kNone;
  }
  std::u16string LongPath(const std::u16string& p) override {
    const Object* o = Find(p);
    return o ? o->longpath : u"";
  }
  std::optional<FileIdentity> Identity(const std::u16string& p) override {
    const Object* o = Find(p);
    if (!o) return std::nullopt;
    return o->id;
  }
  bool HasIdentities() override { return identities; }
  bool Representable(const std::u16string& p) override {
    return eightbit ? ToCodePageExact(p).has_value() : p.find(u'\0') == std::u16string::npos;
  }

 private:
  struct Object {
    std::u16string longpath;
    PathKind kind;
    FileIdentity id;
  };
  // Resolves component by component, each prefix through the aliases.
  const Object* Find(const std::u16string& p) {
    std::u16string cur;
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = p.find(u'\\', start);
      cur += p.substr(start, end == p.npos ? p.npos : end - start);
      if (cur.size() == 2) cur += u"\\";
      if (auto a = aliases_.find(FoldPath(cur)); a != aliases_.end()) cur = a->second;
      if (end == p.npos || end + 1 == p.size()) break;
      if (cur.back() != u'\\') cur += u"\\";
      start = end + 1;
    }
    auto o = objects_.find(FoldPath(cur));
    return o == objects_.end() ? nullptr : &o->second;
  }
  std::map<std::u16string, Object> objects_;
  std::map<std::u16string, std::u16string> aliases_;
};

constexpr auto kDir = PathKind::kFolder;
constexpr auto kFile = PathKind::kFile;
const std::u16string kMe = u"C:\\Users\\me";
const std::u16string kTool = u"C:\\Program Files\\Vendor\\Tool";

// A machine: the system's folders, an installation in Vendor\Tool beside another product, a
// second drive with a junction to the Windows folder and another name for a profile folder.
struct Machine {
  TableFacts facts;
  SystemFolders system;
  Machine() {
    std::uint64_t n = 1;
    auto add = [&](const std::u16string& p, PathKind k = kDir, std::uint32_t vol = 1) {
      facts.Add(p, k, {vol, n++});
    };
    add(u"C:\\");
    add(u"C:\\Windows");
    add(u"C:\\Windows\\System32");
    add(u"C:\\Windows\\System32\\drivers");
    add(u"C:\\Windows\\System32\\drivers\\etc");
    add(u"C:\\Windows\\System32\\drivers\\etc\\hosts", kFile);
    add(u"C:\\Program Files");
    add(u"C:\\Program Files\\Vendor");
    add(kTool);
    add(kTool + u"\\tool.exe", kFile);
    add(u"C:\\Program Files\\Vendor\\Other");
    add(u"C:\\Program Files\\Vendor\\T\u014Dol");  // a name Windows-1252 lacks
    add(u"C:\\Program Files\\Vendor\\T\u014Dol\\tool.exe", kFile);
    add(u"C:\\Users");
    add(kMe);
    for (const char16_t* f : {u"Downloads", u"Saved Games", u"Contacts", u"Links", u"Searches",
                              u"Documents", u"AppData", u"AppData\\Roaming"}) {
      add(kMe + u"\\" + f);
    }
    add(u"D:\\", kDir, 2);
    add(u"D:\\Apps", kDir, 2);
    add(u"D:\\Apps\\Tool", kDir, 2);
    // a junction is opened as its target: the same identity under another name
    facts.Add(u"D:\\Junction", kDir, *facts.Identity(u"C:\\Windows"));
    facts.Add(u"D:\\Junction\\Sub", kDir, {1, 900});
    facts.Add(u"D:\\Profile", kDir, *facts.Identity(kMe + u"\\Downloads"));
    facts.Add(u"D:\\AppDataToo", kDir, *facts.Identity(kMe + u"\\AppData"));
    facts.Alias(u"C:\\PROGRA~1", u"C:\\Program Files");
    facts.Alias(u"C:\\WINDOW~1", u"C:\\Windows");
    facts.Alias(kMe + u"\\DOCUME~1", kMe + u"\\Documents");
    facts.Alias(kTool + u"\\TOOL~1.EXE", kTool + u"\\tool.exe");

    system.folders = {u"C:\\Program Files", u"C:\\Users", kMe, u"C:\\", u"D:\\"};
    for (const char16_t* f : {u"Downloads", u"Saved Games", u"Contacts", u"Links", u"Searches",
                              u"Documents", u"AppData\\Roaming"}) {
      system.folders.push_back(kMe + u"\\" + f);
    }
    system.subtrees = {u"C:\\Windows", u"C:\\WINDOWS\\system32"};
  }
};

struct Case {
  std::u16string path;
  FolderReason reason;
  PathFault fault = PathFault::kNone;
};

using R = FolderReason;
using F = PathFault;

TEST(FolderGuard, DecidesOnTheFolderNotItsSpelling) {
  Machine m;
  const FolderGuard guard(m.system, m.facts);
  const std::u16string nul = std::u16string(u"C:\\Windows") + u'\0' + u"\\x";
  const std::u16string tool_nul = kTool + std::u16string(1, u'\0');
  const std::vector<Case> cases = {
      // spellings Win32 would read as another folder, refused before anything is asked
      {u"", R::kBadSpelling, F::kEmpty},
      {u"C:", R::kBadSpelling, F::kDriveRoot},
      {u"C:\\", R::kBadSpelling, F::kDriveRoot},
      {u"c:/", R::kBadSpelling, F::kForwardSlash},
      {u"Tool", R::kBadSpelling, F::kNotLocal},
      {u"C:Tool", R::kBadSpelling, F::kNotLocal},
      {u"\\Program Files\\Vendor\\Tool", R::kBadSpelling, F::kNotLocal},
      {u"\\\\?\\C:\\", R::kBadSpelling, F::kNotLocal},
      {u"\\\\?\\C:\\Program Files\\Vendor\\Tool", R::kBadSpelling, F::kNotLocal},
      {u"\\\\.\\C:\\Windows", R::kBadSpelling, F::kNotLocal},
      {u"\\\\?\\UNC\\localhost\\C$\\Windows", R::kBadSpelling, F::kNotLocal},
      {u"\\\\localhost\\C$\\Windows", R::kBadSpelling, F::kNotLocal},
      {u"\\\\127.0.0.1\\c$\\Program Files", R::kBadSpelling, F::kNotLocal},
      {u"//localhost/C$/Windows", R::kBadSpelling, F::kForwardSlash},
      {nul, R::kBadSpelling, F::kControlCharacter},
      {tool_nul, R::kBadSpelling, F::kControlCharacter},
      {u"C:\\Program Files\\Vendor\\Tool\r", R::kBadSpelling, F::kControlCharacter},
      {u"C:\\Windows.", R::kBadSpelling, F::kTrailingDotOrBlank},
      {u"C:\\Windows ", R::kBadSpelling, F::kTrailingDotOrBlank},
      {u"C:\\Windows. .\\System32", R::kBadSpelling, F::kTrailingDotOrBlank},
      {u"C:\\Program Files\\Vendor.\\Tool", R::kBadSpelling, F::kTrailingDotOrBlank},
      {u"C:\\Windows\\...", R::kBadSpelling, F::kDotComponent},
      {u"C:\\Program Files\\Vendor\\Tool\\..", R::kBadSpelling, F::kDotComponent},
      {u"C:\\Program Files\\Vendor\\.\\Tool", R::kBadSpelling, F::kDotComponent},
      {u"C:\\Program Files\\Vendor\\Tool\\..\\..\\..\\Windows", R::kBadSpelling, F::kDotComponent},
      {u"C:/Windows", R::kBadSpelling, F::kForwardSlash},
      {u"C:\\Program Files/Vendor/Tool", R::kBadSpelling, F::kForwardSlash},
      {u"C:\\Program Files\\\\Vendor\\Tool", R::kBadSpelling, F::kEmptyComponent},
      {u"C:\\Program Files\\Vendor\\Tool\\\\", R::kBadSpelling, F::kEmptyComponent},
      {u"C:\\Windows::$INDEX_ALLOCATION", R::kBadSpelling, F::kReservedCharacter},
      {u"C:\\Program Files\\Vendor\\Tool*", R::kBadSpelling, F::kReservedCharacter},
      {u"C:\\Program Files\\Vendor\\NUL", R::kBadSpelling, F::kDeviceName},
      {u"C:\\Program Files\\Vendor\\com1.txt", R::kBadSpelling, F::kDeviceName},
      {u"C:\\Program Files\\Vendor\\aux .log", R::kBadSpelling, F::kDeviceName},
      {u"C:\\Program Files\\Vendor\\Lpt\u00B9", R::kBadSpelling, F::kDeviceName},
      {u"C:\\" + std::u16string(300, u'a'), R::kBadSpelling, F::kTooLong},
      {u"C:\\Program Files\\Vendor\\\xD800Tool", R::kBadSpelling, F::kBrokenSurrogate},
      {u"\uFF23\uFF1A\uFF3C\uFF37\uFF49\uFF4E\uFF44\uFF4F\uFF57\uFF53", R::kBadSpelling,
       F::kNotLocal},  // fullwidth C:\Windows
      // short names, letter case and other names resolve to the system's folders
      {u"C:\\PROGRA~1", R::kSystemFolder},
      {u"c:\\progra~1\\", R::kSystemFolder},
      {u"c:\\PROGRAM files", R::kSystemFolder},
      {u"C:\\Windows", R::kSystemFolder},
      {u"C:\\WINDOW~1", R::kSystemFolder},
      {u"C:\\Windows\\System32", R::kSystemFolder},
      {kMe + u"\\DOCUME~1", R::kSystemFolder},
      {kMe + u"\\Downloads", R::kSystemFolder},
      {kMe + u"\\Saved Games", R::kSystemFolder},
      {kMe + u"\\Contacts", R::kSystemFolder},
      {kMe + u"\\Links", R::kSystemFolder},
      {kMe + u"\\Searches", R::kSystemFolder},
      {u"C:\\Users", R::kSystemFolder},
      {u"D:\\Junction", R::kSystemFolder},  // by identity: the Windows folder itself
      {u"D:\\Profile", R::kSystemFolder},   // by identity: Downloads
      // above a system folder
      {kMe + u"\\AppData", R::kHoldsSystemFolder},
      {u"D:\\AppDataToo", R::kHoldsSystemFolder},  // by identity
      // inside the Windows folder, by any name
      {u"C:\\Windows\\System32\\drivers", R::kInsideWindows},
      {u"c:\\windows\\system32\\DRIVERS\\etc", R::kInsideWindows},
      {u"C:\\WINDOW~1\\System32\\drivers", R::kInsideWindows},
      {u"D:\\Junction\\Sub", R::kInsideWindows},  // a parent is the Windows folder
      // not there, or not a folder
      {u"C:\\\uFF57\uFF49\uFF4E\uFF44\uFF4F\uFF57\uFF53", R::kAbsent},  // fullwidth windows
      {kTool + u"\\\uFF0E\uFF0E", R::kAbsent},  // fullwidth "..": an ordinary name
      {u"C:\\Program Files\\Vendor\\Gone", R::kAbsent},
      {kTool + u"\\tool.exe", R::kNotFolder},
      {u"C:\\Windows\\System32\\drivers\\etc\\hosts", R::kNotFolder},
      // ordinary folders
      {kTool, R::kDelete},
      {u"c:\\PROGRA~1\\vendor\\TOOL\\", R::kDelete},
      {u"C:\\Program Files\\Vendor", R::kDelete},  // not a system folder (see below)
      {u"D:\\Apps\\Tool", R::kDelete},
      {kMe + u"\\AppData\\Roaming\\ToolSettings", R::kAbsent},
  };
  for (const Case& c : cases) {
    const FolderDecision d = guard.Decide(c.path);
    EXPECT_EQ(d.reason, c.reason) << U8(PrintablePath(c.path));
    EXPECT_EQ(d.fault, c.fault) << U8(PrintablePath(c.path));
    EXPECT_EQ(d.remove(), c.reason == R::kDelete);
  }
  EXPECT_EQ(guard.Decide(u"c:\\PROGRA~1\\vendor\\TOOL\\").path, kTool);  // what is deleted
  EXPECT_EQ(guard.Decide(u"C:\\PROGRA~1").collision, u"C:\\Program Files");
  EXPECT_EQ(guard.Decide(kMe + u"\\AppData").collision, kMe + u"\\AppData\\Roaming");
}

TEST(FolderGuard, EightBitCallsGetOnlyNamesThatRoundTrip) {
  Machine m;
  m.facts.eightbit = true;
  m.facts.identities = false;  // the systems of the 8-bit calls have none
  const FolderGuard guard(m.system, m.facts);
  // best fit would turn these into C:\windows and "..": refused, not converted
  EXPECT_EQ(guard.Decide(u"C:\\\uFF57\uFF49\uFF4E\uFF44\uFF4F\uFF57\uFF53").reason,
            R::kUnrepresentable);
  EXPECT_EQ(guard.Decide(kTool + u"\\\uFF0E\uFF0E").reason, R::kUnrepresentable);
  EXPECT_EQ(guard.Decide(u"C:\\Program Files\\Vendor\\T\u014Dol").reason, R::kUnrepresentable);
  // without identities the long forms still decide
  EXPECT_EQ(guard.Decide(u"C:\\PROGRA~1").reason, R::kSystemFolder);
  EXPECT_EQ(guard.Decide(u"C:\\WINDOW~1\\System32\\drivers").reason, R::kInsideWindows);
  EXPECT_EQ(guard.Decide(kTool).reason, R::kDelete);
}

TEST(FolderGuard, OnlyTheRecordedInstallationFolderIsDeleted) {
  Machine m;
  const FolderGuard guard(m.system, m.facts);
  const std::string main = "C:\\Program Files\\Vendor\\Tool\\tool.exe";
  struct Install {
    std::u16string path;
    std::string main;
    std::string exe;
    FolderReason reason;
  };
  const std::vector<Install> cases = {
      {kTool, main, "tool.exe", R::kDelete},
      {kTool + u"\\", main, "tool.exe", R::kDelete},
      {u"C:\\PROGRA~1\\Vendor\\Tool", main, "tool.exe", R::kDelete},
      {kTool, "c:\\progra~1\\VENDOR\\tool\\TOOL~1.EXE", "tool.exe", R::kDelete},
      {kTool, main, "TOOL~1.EXE", R::kDelete},
      // the folder above the installation, a sibling, another product's folder
      {u"C:\\Program Files\\Vendor", main, "tool.exe", R::kNotRecorded},
      {u"C:\\Program Files\\Vendor\\Other", main, "tool.exe", R::kNotRecorded},
      {u"D:\\Apps\\Tool", main, "tool.exe", R::kNotRecorded},
      // App Paths says nothing usable
      {kTool, "", "tool.exe", R::kNotRecorded},
      {kTool, "C:\\Program Files\\Vendor\\Other\\tool.exe", "tool.exe", R::kNotRecorded},
      {kTool, "tool.exe", "tool.exe", R::kNotRecorded},
      {kTool, main + ".", "tool.exe", R::kNotRecorded},
      {kTool, main, "", R::kNotRecorded},
      {kTool, main, "\\", R::kNotRecorded},
      {kTool, main, "..\\Tool\\tool.exe", R::kNotRecorded},
      {kTool, main, "other.exe", R::kNotRecorded},
      // the system's folders stay system folders, whatever App Paths says
      {u"C:\\PROGRA~1", "C:\\Program Files\\tool.exe", "tool.exe", R::kSystemFolder},
      {u"C:\\Windows.", main, "tool.exe", R::kBadSpelling},
      // gone already: nothing to do, unless the program it should hold is elsewhere
      {u"C:\\Program Files\\Vendor\\Gone", "C:\\Program Files\\Vendor\\Gone\\tool.exe", "tool.exe",
       R::kAbsent},
      {u"C:\\Program Files\\Vendor\\Gone", main, "tool.exe", R::kNotRecorded},
      {u"C:\\\uFF57\uFF49\uFF4E\uFF44\uFF4F\uFF57\uFF53", main, "tool.exe", R::kNotRecorded},
      // a folder name the code page lacks: App Paths holds what the installer wrote for it
      {u"C:\\Program Files\\Vendor\\T\u014Dol", "C:\\Program Files\\Vendor\\T?ol\\tool.exe",
       "tool.exe", R::kDelete},
      {u"C:\\Program Files\\Vendor\\T\u014Dol", "C:\\Program Files\\Vendor\\T?ol\\x.exe",
       "tool.exe", R::kNotRecorded},
  };
  for (const Install& c : cases) {
    const FolderDecision d = guard.DecideInstallFolder(c.path, c.main, c.exe);
    EXPECT_EQ(d.reason, c.reason) << U8(c.path) << " / " << c.main << " / " << c.exe;
  }
}

// What every ownership decision of the uninstall asks: does a service's or a class's command run
// a program inside the installation folder the guard accepted?
TEST(FolderGuard, AProgramIsTheProductsOnlyInsideItsInstallationFolder) {
  Machine m;
  const FolderGuard guard(m.system, m.facts);
  const std::string main = "C:\\Program Files\\Vendor\\Tool\\tool.exe";
  const FolderDecision tool = guard.DecideInstallFolder(kTool, main, "tool.exe");
  const FolderDecision shortname =
      guard.DecideInstallFolder(u"C:\\PROGRA~1\\Vendor\\Tool", main, "tool.exe");
  const FolderDecision gone = guard.DecideInstallFolder(
      u"C:\\Program Files\\Vendor\\Gone", "C:\\Program Files\\Vendor\\Gone\\tool.exe", "tool.exe");
  const FolderDecision kept =
      guard.DecideInstallFolder(u"C:\\Program Files", "C:\\Program Files\\tool.exe", "tool.exe");
  ASSERT_TRUE(tool.remove() && shortname.remove());
  ASSERT_EQ(gone.reason, R::kAbsent);
  ASSERT_TRUE(kept.kept());
  struct Owned {
    const FolderDecision* folder;
    std::u16string command;
    bool ours;
  };
  const std::vector<Owned> cases = {
      {&tool, u"\"C:\\Program Files\\Vendor\\Tool\\tool.exe\" \"%1\"", true},
      {&tool, u"\"c:\\program files\\VENDOR\\tool\\svc\\svc.exe\" -k run", true},
      {&tool, u"\"C:\\PROGRA~1\\Vendor\\Tool\\TOOL~1.EXE\"", true},         // resolved: it is there
      {&shortname, u"\"C:\\PROGRA~1\\Vendor\\Tool\\svc.exe\"", true},       // as recorded
      {&shortname, u"\"C:\\Program Files\\Vendor\\Tool\\svc.exe\"", true},  // as resolved
      {&gone, u"\"C:\\Program Files\\Vendor\\Gone\\svc.exe\"", true},       // the record stands
      {&tool, u"\"C:\\Program Files\\Vendor\\Tool2\\tool.exe\"", false},    // whole components
      {&tool, u"\"C:\\Program Files\\Vendor\\Tool\"", false},               // the folder itself
      {&tool, u"\"C:\\Program Files\\Vendor\\Tool\\..\\Other\\x.exe\"", false},
      {&tool, u"\"C:\\Program Files\\Vendor\\Tool\\x.exe", false},  // the quote never closes
      // unquoted, the system tries "C:\Program" first
      {&tool, u"C:\\Program Files\\Vendor\\Tool\\tool.exe", false},
      {&tool, u"C:\\Windows\\System32\\svchost.exe -k netsvcs", false},
      {&kept, u"\"C:\\Program Files\\Vendor\\Tool\\tool.exe\"", false},  // the folder was kept
  };
  for (const Owned& c : cases) {
    EXPECT_EQ(ProgramInInstallFolder(*c.folder, c.command, m.facts), c.ours)
        << U8(c.command) << " in " << U8(c.folder->recorded);
  }
  // the folders an install compares with: a root, a share, a relative or climbing folder hold
  // nothing
  EXPECT_TRUE(ProgramInFolder(u"\\\\srv\\share\\Tool\\a.exe -x", u"\\\\srv\\share\\tool\\"));
  EXPECT_FALSE(ProgramInFolder(u"C:\\a.exe", u"C:\\"));
  EXPECT_FALSE(ProgramInFolder(u"\\\\srv\\share\\a.exe", u"\\\\srv\\share"));
  EXPECT_FALSE(ProgramInFolder(u"C:\\Tool\\..\\x.exe", u"C:\\Tool\\.."));
  EXPECT_FALSE(ProgramInFolder(u"Tool\\a.exe", u"Tool"));
}

TEST(FolderGuard, TheUserIsToldWhyAFolderWasKept) {
  Machine m;
  const FolderGuard guard(m.system, m.facts);
  EXPECT_EQ(KeptFolderMessage(guard.Decide(u"C:\\PROGRA~1")),
            u"The folder \"C:\\Program Files\" was not deleted: it is a folder of the system or "
            u"holds more than this program, so its files were kept.");
  const std::u16string nul = KeptFolderMessage(guard.Decide(std::u16string(u"C:\\Windows\0x", 12)));
  EXPECT_NE(nul.find(u"\"C:\\Windows[U+0000]x\""), std::u16string::npos) << U8(nul);
  EXPECT_NE(nul.find(u"control character"), std::u16string::npos);
  EXPECT_NE(KeptFolderMessage(guard.Decide(u"C:\\Windows\\System32\\drivers"))
                .find(u"inside the Windows folder"),
            std::u16string::npos);
  const std::u16string above = KeptFolderMessage(guard.DecideInstallFolder(
      u"C:\\Program Files\\Vendor", "C:\\Program Files\\Vendor\\Tool\\tool.exe", "tool.exe"));
  EXPECT_NE(above.find(u"\"C:\\Program Files\\Vendor\" was not deleted: it is not the folder"),
            std::u16string::npos)
      << U8(above);
  EXPECT_EQ(KeptFolderMessage(guard.Decide(kTool)), u"");
  EXPECT_EQ(KeptFolderMessage(guard.Decide(u"C:\\Program Files\\Vendor\\Gone")), u"");
}

// An installation goes only where the uninstall may remove it again: the same rules, and a
// folder that does not stand yet is judged as the folder it will be. Each of these was once
// accepted by /S /D= and written into.
TEST(FolderGuard, AnInstallationGoesOnlyIntoAFolderOfItsOwn) {
  Machine m;
  m.system.folders.push_back(u"C:\\ProgramData");  // known, but not made yet
  const FolderGuard guard(m.system, m.facts);
  struct Destination {
    std::u16string path;
    FolderReason reason;
    std::u16string recorded = {};  // what is installed to and recorded, when usable
  };
  const std::vector<Destination> cases = {
      {u"C:\\", R::kBadSpelling},
      {u"C:", R::kBadSpelling},
      {u"C:\\Windows", R::kSystemFolder},
      {u"C:/windows", R::kBadSpelling},
      {u"C:\\Windows\\System32", R::kSystemFolder},
      {u"C:\\Users", R::kSystemFolder},
      {kMe + u"\\Documents", R::kSystemFolder},
      {kMe + u"\\DOCUME~1", R::kSystemFolder},
      {kMe + u"\\Downloads", R::kSystemFolder},
      {u"C:\\Program Files", R::kSystemFolder},
      {u"C:\\PROGRA~1", R::kSystemFolder},
      {u"C:\\ProgramData", R::kSystemFolder},
      {kMe + u"\\AppData", R::kHoldsSystemFolder},
      {u"C:\\Program Files\\..\\Windows", R::kBadSpelling},
      {u"C:\\Program Files\\Tool\\..\\..", R::kBadSpelling},
      {u"\\\\server\\share\\Tool", R::kBadSpelling},
      // new folders, judged by the folder above that stands
      {u"C:\\Windows\\Tool", R::kInsideWindows},
      {u"C:\\WINDOW~1\\Tool\\Deep", R::kInsideWindows},
      {u"C:\\Windows\\System32\\drivers\\Tool", R::kInsideWindows},
      {u"D:\\Junction\\Tool", R::kInsideWindows},  // the junction is the Windows folder
      {u"D:\\Junction\\Sub\\Tool", R::kInsideWindows},
      {kTool + u"\\tool.exe\\Sub", R::kNotFolder},
      {u"E:\\Tool", R::kUnresolved},  // no such drive
      // usable, and recorded as the system spells what stands
      {u"C:\\Program Files\\New Tool", R::kAbsent, u"C:\\Program Files\\New Tool"},
      {u"c:\\progra~1\\New Tool\\Sub\\", R::kAbsent, u"C:\\Program Files\\New Tool\\Sub"},
      {u"C:\\Tool", R::kAbsent, u"C:\\Tool"},
      {kMe + u"\\Documents\\Tool", R::kAbsent, kMe + u"\\Documents\\Tool"},
      {u"C:\\ProgramData\\Vendor", R::kAbsent, u"C:\\ProgramData\\Vendor"},
      {u"c:\\program files\\vendor\\tool", R::kDelete, kTool},  // an upgrade in place
      {u"D:\\Apps\\Tool", R::kDelete, u"D:\\Apps\\Tool"},
  };
  for (const Destination& c : cases) {
    const FolderDecision d = guard.DecideDestination(c.path);
    EXPECT_EQ(d.reason, c.reason) << U8(c.path);
    EXPECT_EQ(d.kept(), c.recorded.empty()) << U8(c.path);
    if (!c.recorded.empty()) {
      EXPECT_EQ(d.path, c.recorded) << U8(c.path);
    }
    EXPECT_EQ(RefusedDestinationMessage(d).empty(), !d.kept()) << U8(c.path);
  }
  EXPECT_EQ(RefusedDestinationMessage(guard.DecideDestination(u"C:\\WINDOW~1\\Tool")),
            u"The folder \"C:\\WINDOW~1\\Tool\" cannot be the installation folder: it lies inside "
            u"the Windows folder. Choose a folder of its own for the program, such as one below "
            u"Program Files.");
  // what the installation records, the uninstall later accepts as the same folder
  const std::u16string recorded =
      guard.DecideDestination(u"c:\\progra~1\\new tool").path;  // judged before it stood
  EXPECT_EQ(recorded, u"C:\\Program Files\\new tool");
  m.facts.Add(u"C:\\Program Files\\new tool", kDir, {1, 7000});
  m.facts.Add(u"C:\\Program Files\\new tool\\tool.exe", kFile, {1, 7001});
  const FolderGuard after(m.system, m.facts);
  EXPECT_TRUE(after.DecideInstallFolder(recorded, Utf16ToUtf8(recorded) + "\\tool.exe", "tool.exe")
                  .remove());
}

TEST(FolderGuard, PlannedUninstallUsesTheGuardsVerdicts) {
  Machine m;
  const FolderGuard guard(m.system, m.facts);
  UninstallInput in;
  in.basefolder = u"c:\\progra~1\\Vendor\\Tool";
  in.exename = "tool.exe";
  in.displayname = "Tool";
  in.mainprogram = "C:\\Program Files\\Vendor\\Tool\\tool.exe";
  in.programgroup = u"\\..\\..";
  in.programsfolder = kMe + u"\\Programs";
  in.appdatafolder = "Roaming";
  in.appdataroot = kMe + u"\\AppData";
  UninstallPlan plan = PlanUninstall(in, guard);
  EXPECT_FALSE(plan.installfolder.refused);
  EXPECT_EQ(plan.installfolder.path, kTool);  // the long form is what the shell deletes
  ASSERT_TRUE(plan.programgroup && plan.settings);
  EXPECT_TRUE(plan.programgroup->refused);
  EXPECT_EQ(plan.programgroup->decision.reason, R::kBadSpelling);
  EXPECT_TRUE(plan.settings->refused);  // ...\AppData\Roaming itself
  EXPECT_EQ(plan.settings->decision.reason, R::kSystemFolder);

  in.basefolder = u"C:\\Program Files\\Vendor";
  plan = PlanUninstall(in, guard);
  EXPECT_TRUE(plan.installfolder.refused);
  EXPECT_EQ(plan.installfolder.decision.reason, R::kNotRecorded);
  EXPECT_EQ(plan.installfolder.path, u"C:\\Program Files\\Vendor");
}

TEST(KeyTrees, SharedKeysAndTheirParentsAreNeverRemoved) {
  const std::string ap = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";
  const std::string run = "software\\microsoft\\windows\\currentversion\\run";
  const std::string un = "software\\microsoft\\windows\\currentversion\\uninstall";
  struct K {
    RegRoot root;
    std::string path;
    bool removable;
  };
  const std::vector<K> keys = {
      {RegRoot::kLocalMachine, ap + "\\tool.exe", true},
      {RegRoot::kCurrentUser, run + "\\tool.exe", true},
      {RegRoot::kLocalMachine, un + "\\Tool", true},
      {RegRoot::kCurrentUser, "software\\Halvard\\Tool", true},
      {RegRoot::kClassesRoot, ".e2eun", true},
      {RegRoot::kClassesRoot, "Brimlow.MXA", true},
      {RegRoot::kLocalMachine, ap, false},
      {RegRoot::kLocalMachine, ap + "\\", false},
      {RegRoot::kLocalMachine, ap + "\\\\", false},
      {RegRoot::kCurrentUser, run, false},
      {RegRoot::kCurrentUser, run + "\\", false},
      {RegRoot::kLocalMachine, un, false},
      {RegRoot::kLocalMachine, "SOFTWARE\\MICROSOFT\\Windows\\CurrentVersion", false},
      {RegRoot::kLocalMachine, "software\\microsoft", false},
      {RegRoot::kCurrentUser, "software", false},
      {RegRoot::kCurrentUser, "software\\classes", false},
      {RegRoot::kLocalMachine, "", false},
      {RegRoot::kLocalMachine, "\\", false},
      {RegRoot::kLocalMachine, ap + "\\..", false},
      {RegRoot::kLocalMachine, ap + "\\..\\Run", false},
      {RegRoot::kLocalMachine, ap + "\\ ", false},
      {RegRoot::kLocalMachine, "system\\currentcontrolset\\services", false},
      {RegRoot::kClassesRoot, "", false},
      {RegRoot::kClassesRoot, ".EXE", false},
      {RegRoot::kClassesRoot, "CLSID", false},
  };
  for (const K& k : keys) EXPECT_EQ(IsRemovableKeyTree(k.root, k.path), k.removable) << k.path;
}

TEST(KeyTrees, HostileNamesPlanNoSharedKey) {
  for (const char* exe : {"\\", "\\\\", "..", "a\\b", "..\\..", "  ", "", "x/y", ".\\"}) {
    for (const char* name : {"\\", "", " ", "..", "A\\B"}) {
      UninstallInput in;
      in.exename = exe;
      in.displayname = name;
      in.startpath = EncodeLetterHex(u"\\Mozilla");
      const UninstallPlan plan = PlanUninstall(in);
      EXPECT_TRUE(plan.keytrees.empty())
          << exe << " / " << name << ": " << (plan.keytrees.empty() ? "" : plan.keytrees[0].second);
    }
  }
  EXPECT_EQ(ChildKey("x", "tool.exe", true), "x\\tool.exe");
  EXPECT_EQ(ChildKey("x", "A/B", false), "x\\A/B");  // one key name, "/" and all
  EXPECT_FALSE(ChildKey("x", "A/B", true));
}

TEST(KeyTrees, OnlyAPerUserKeyTheProductOwnsIsRemoved) {
  EXPECT_EQ(OwnedUserKey(EncodeLetterHex(u"\\Halvard\\Tool")), "software\\Halvard\\Tool");
  EXPECT_EQ(OwnedUserKey(EncodeLetterHex(u"Halvard\\Tools\\Tool")),
            "software\\Halvard\\Tools\\Tool");
  for (const char16_t* g :
       {u"\\Mozilla", u"Mozilla", u"\\Mozilla\\", u"\\Microsoft\\Windows", u"\\classes\\x",
        u"\\Policies\\x", u"\\Wine\\x", u"\\WOW6432Node\\x", u"\\", u"\\A\\..", u""}) {
    EXPECT_EQ(OwnedUserKey(EncodeLetterHex(g)), "") << U8(g);
  }
}

TEST(DeleteFailed, InUseOnlyWhenTheShellSaysSo) {
  const std::u16string f = u"C:\\Program Files\\Vendor\\Tool";
  for (int code : {5, 32, 33, 0x78}) {
    EXPECT_NE(DeleteFailedMessage(f, code).find(u"in use"), std::u16string::npos) << code;
  }
  for (int code : {0, 2, 0x7C, 1026}) {
    const std::u16string m = DeleteFailedMessage(f, code);
    EXPECT_EQ(m.find(u"in use"), std::u16string::npos) << code;
    EXPECT_NE(m.find(u"could not be deleted completely"), std::u16string::npos);
  }
  EXPECT_NE(DeleteFailedMessage(f, 1026).find(u"error 1026"), std::u16string::npos);
}

TEST(CodePageExact, RefusesWhatWouldReachTheCallAsAnotherName) {
  EXPECT_EQ(ToCodePageExact(u"C:\\\u00C4rger\\a.txt"), "C:\\\xC4rger\\a.txt");
  EXPECT_EQ(ToCodePageExact(u""), "");
  EXPECT_FALSE(ToCodePageExact(u"\uFF0E\uFF0E\uFF3C\uFF0E\uFF0E\uFF3Cevil.txt"));
  EXPECT_FALSE(ToCodePageExact(u"C:\\\uFF57\uFF49\uFF4E\uFF44\uFF4F\uFF57\uFF53"));
  EXPECT_FALSE(ToCodePageExact(std::u16string(u"C:\\a\0b", 6)));
  EXPECT_FALSE(ToCodePageExact(u"\u0141\u00F3d\u017A"));  // only part of it in the code page
  bool lossless = true;
  EXPECT_EQ(ToCodePage(u"\uFF0E\uFF0E\uFF3C", &lossless), "???");  // never a look-alike
  EXPECT_FALSE(lossless);
}

}  // namespace
}  // namespace kestrel
