#include "uninstall/uninstallrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_tree.h"
#include "package_fixture.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/outcome.h"

namespace kestrel {
namespace {

std::string U8(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

// Paths taken literally: a file where `files` says so, nothing where `absent` says so, a folder
// everywhere else; each folded spelling its own identity.
class LiteralFacts final : public PathFacts {
 public:
  std::set<std::u16string> files, absent;
  PathKind KindOf(const std::u16string& p) override {
    if (files.count(p)) return PathKind::kFile;
    return absent.count(p) ? PathKind::kNone : PathKind::kFolder;
  }
  std::u16string LongPath(const std::u16string& p) override { return p; }
  std::optional<FileIdentity> Identity(const std::u16string& p) override {
    if (KindOf(p) == PathKind::kNone) return std::nullopt;
    return FileIdentity{1, std::hash<std::u16string>{}(FoldPath(p))};
  }
  bool HasIdentities() override { return true; }
  bool Representable(const std::u16string&) override { return true; }
};

// Records every call that changes the system, and the observer's calls, in order.
class FakeUninstall final : public UninstallSystem, public UninstallObserver {
 public:
  std::vector<std::string> log;
  std::map<std::string, std::string> values;   // App Paths values by name
  std::map<std::string, std::string> classes;  // default values below HKCR by key
  bool wide = true;
  bool window = false;
  std::map<std::string, std::u16string> services;  // the command line of each service there
  std::set<std::string> running;
  std::set<std::u16string> folders;       // folders that exist
  std::set<std::u16string> undeletable;   // DeleteFolderTree fails for these
  std::set<std::u16string> emptyfolders;  // RemoveEmptyFolder succeeds for these
  bool answer = true;                     // the settings question

  bool UseWideApi() override { return wide; }
  // values under HKCU by "key|name"; nothing else is read wide
  std::map<std::string, std::u16string> userwide;
  int machinereads = 0;
  std::u16string ReadWideString(RegRoot root, const std::string& key,
                                const std::string& name) override {
    if (root != RegRoot::kCurrentUser) return {};
    auto it = userwide.find(key + "|" + name);
    return it == userwide.end() ? u"" : it->second;
  }
  TreeSystem& Tree() override { return tree; }
  testing::FakeTree tree;
  std::string ReadMachineString(const std::string& key, const std::string& value) override {
    EXPECT_EQ(key, AppPathsKey("tool.exe"));
    ++machinereads;
    auto it = values.find(value);
    return it == values.end() ? "" : it->second;
  }
  std::string ReadClassesString(const std::string& key, const std::string&) override {
    log.push_back("readclass " + key);
    auto it = classes.find(key);
    return it == classes.end() ? "" : it->second;
  }
  bool CloseRunningWindow(const std::string& pattern) override {
    log.push_back("close " + pattern);
    return window;
  }
  std::u16string ServiceProgram(const std::string& name) override {
    auto it = services.find(name);
    return it == services.end() ? u"" : it->second;
  }
  bool ServiceRunning(const std::string& name) override { return running.count(name) > 0; }
  bool ServiceStop(const std::string& name) override {
    log.push_back("stop " + name);
    return true;
  }
  bool ServiceDelete(const std::string& name) override {
    log.push_back("delete " + name);
    return true;
  }
  void Pause(int ms) override { log.push_back("pause " + std::to_string(ms)); }
  std::u16string ProgramsFolder() override { return u"C:\\Menu\\Programs"; }
  std::u16string AppDataFolder() override { return u"C:\\Users\\me\\AppData"; }
  std::u16string StartMenuFolder() override { return u"C:\\Menu"; }
  std::vector<std::u16string> ProtectedFolders() override {
    return {u"C:\\Program Files", u"C:\\Menu\\Programs", u"C:\\Users\\me\\AppData", u"C:\\Menu"};
  }
  LiteralFacts facts;
  PathFacts& Facts() override { return facts; }
  SystemFolders FoldersToKeep() override {
    SystemFolders s;
    s.folders = ProtectedFolders();
    s.folders.push_back(u"C:\\");
    s.subtrees = {u"C:\\Windows"};
    return s;
  }
  bool FolderExists(const std::u16string& path) override { return folders.count(path) > 0; }
  bool DeleteFolderTree(const std::u16string& path) override {
    log.push_back("rmtree " + U8(path));
    return undeletable.count(path) == 0;
  }
  bool RemoveEmptyFolder(const std::u16string& path) override {
    log.push_back("rmdir " + U8(path));
    if (ontree) return tree.Has(path) && tree.RemoveFolder(path) == 0;
    return emptyfolders.count(path) > 0;
  }
  bool RemoveFile(const std::u16string& path) override {
    log.push_back("rm " + U8(path));
    if (ontree) return tree.Has(path) && tree.RemoveFile(path) == 0;
    return true;
  }
  bool ontree = false;                 // files and folders are those of `tree`
  std::set<std::u16string> norestart;  // DeleteAtRestart refuses these
  bool DeleteAtRestart(const std::u16string& path) override {
    log.push_back("at restart " + U8(path));
    return norestart.count(path) == 0;
  }
  void RestartCompletes() override { log.push_back("restart completes"); }
  bool RemoveKeyTree(RegRoot root, const std::string& path) override {
    log.push_back("rmkey " + std::to_string(static_cast<int>(root)) + " " + path);
    return true;
  }

  void UninstallStarted(const std::string& displayname) override {
    log.push_back("started " + displayname);
  }
  bool DeleteSettings() override {
    log.push_back("ask settings");
    return answer;
  }
  void FolderKept(const std::u16string& message) override { log.push_back("kept " + U8(message)); }
  void UninstallStopped(const std::u16string& folder, const std::u16string&) override {
    log.push_back("stopped " + U8(folder));
  }
  void UninstallDone() override { log.push_back("done"); }
  void FilesKept(const std::u16string& message) override {
    log.push_back("files kept " + U8(message));
  }
};

// Collects the log lines the run writes.
class LinesSink final : public LogSink {
 public:
  std::vector<std::string> lines;
  void WriteLine(std::string_view l) override { lines.emplace_back(l); }
};

class UninstallRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    info_.exename = "tool.exe";
    info_.displayname = " Halvard Tool ";
    info_.basefolder = u"C:\\Program Files\\Halvard\\Tool\\";
    info_.programgroup = u"\\Halvard\\Tool";
    info_.appdatafolder = "ToolSettings";
    sys_.facts.files = {u"C:\\Program Files\\Halvard\\Tool\\tool.exe"};
    sys_.values = {{"", "C:\\Program Files\\Halvard\\Tool\\tool.exe"},
                   {"displayname", "Halvard Tool"},
                   {"service0", "svc.exe"},
                   {"servicenames0", "ToolSvc"},
                   {"service1", "two.exe"},
                   {"servicenames1", "TwoSvc"},
                   {"desktop", EncodeLetterHex(u"C:\\Desk\\Halvard Tool.lnk")},
                   {"fileassociations", ".hvt"},
                   {"Startpath", EncodeLetterHex(u"\\Halvard\\Tool")}};
    sys_.classes = {{".hvt", kClassKey},
                    {std::string(kClassKey) + "\\shell\\open\\command",
                     "\"C:\\Program Files\\Halvard\\Tool\\tool.exe\" \"%1\""}};
    sys_.services = {{"ToolSvc", u"\"C:\\Program Files\\Halvard\\Tool\\svc.exe\""},
                     {"TwoSvc", u"\"C:\\Program Files\\Halvard\\Tool\\two.exe\" -k run"}};
    sys_.running = {"ToolSvc"};
    sys_.folders = {u"C:\\Users\\me\\AppData\\ToolSettings"};
    sys_.emptyfolders = {u"C:\\Program Files\\Halvard", u"C:\\Menu\\Programs\\Halvard"};
  }
  bool Run() {
    UninstallRun run(info_, sys_, sys_);
    run.SetLog(Log(&sink_));
    return run.Run();
  }

  UninstallInfo info_;
  FakeUninstall sys_;
  LinesSink sink_;
};

TEST_F(UninstallRunTest, FullRunRemovesEverythingInOrder) {
  ASSERT_TRUE(Run());
  const std::vector<std::string> want = {
      "started Halvard Tool",
      "close Halvard Tool (*",
      "stop ToolSvc",
      "delete ToolSvc",
      "delete TwoSvc",  // not running: only deleted
      "rmtree C:\\Program Files\\Halvard\\Tool",
      "rmdir C:\\Program Files\\Halvard",  // the empty vendor folder, then Program Files stops it
      "rmtree C:\\Menu\\Programs\\Halvard\\Tool",
      "rmdir C:\\Menu\\Programs\\Halvard",
      "rmdir C:\\Menu\\Programs\\Halvard",  // the fixed vendor folder below Programs
      "ask settings",
      "rmtree C:\\Users\\me\\AppData\\ToolSettings",
      "rm C:\\Desk\\Halvard Tool.lnk",
      "rm C:\\Menu\\ Halvard Tool .lnk",
      "readclass .hvt",
      "readclass Brimlow.MXA\\shell\\open\\command",
      "rmkey 2 Brimlow.MXA",
      "rmkey 2 .hvt",
      "rmkey 0 software\\microsoft\\windows\\currentversion\\uninstall\\ Halvard Tool ",
      "rmkey 0 SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\tool.exe",
      "rmkey 1 software\\microsoft\\windows\\currentversion\\run\\tool.exe",
      "rmkey 1 software\\Halvard\\Tool",
      "pause 100",
      "done"};
  EXPECT_EQ(sys_.log, want);
  // the log names what went, one line each
  auto has = [&](const std::string& line) {
    for (const auto& l : sink_.lines) {
      if (l == line) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("service stopped: ToolSvc"));
  EXPECT_TRUE(has("folder removed: C:\\Program Files\\Halvard\\Tool"));
  EXPECT_TRUE(has("empty folder removed: C:\\Program Files\\Halvard"));
  EXPECT_TRUE(has("settings folder removed: C:\\Users\\me\\AppData\\ToolSettings"));
  EXPECT_TRUE(
      has("registry key removed: HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App "
          "Paths\\tool.exe"));
}

TEST_F(UninstallRunTest, UndeletableInstallFolderStopsBeforeAnythingElse) {
  sys_.undeletable = {u"C:\\Program Files\\Halvard\\Tool"};
  EXPECT_FALSE(Run());
  ASSERT_GE(sys_.log.size(), 2u);
  EXPECT_EQ(sys_.log.back(), "stopped C:\\Program Files\\Halvard\\Tool");
  for (const auto& l : sys_.log) {
    EXPECT_NE(l.rfind("rmkey", 0), 0u) << l;
    EXPECT_NE(l.rfind("rm ", 0), 0u) << l;
    EXPECT_NE(l, "done");
  }
}

TEST_F(UninstallRunTest, GuardsKeepWhatWasNeverOurs) {
  info_.basefolder = u"C:\\Program Files";  // a folder of the system: kept, the run goes on
  sys_.values["desktop"] = EncodeLetterHex(u"C:\\Desk\\notes.txt");     // not a link
  sys_.values["fileassociations"] = ".hvt\\..\\x";                      // not an extension name
  sys_.values["Startpath"] = EncodeLetterHex(u"\\Microsoft\\Windows");  // a key of the system
  sys_.classes[".hvt\\..\\x"] = "txtfile";
  sys_.answer = false;  // and the settings stay
  ASSERT_TRUE(Run());
  auto count = [&](const std::string& prefix) {
    int n = 0;
    for (const auto& l : sys_.log) n += l.rfind(prefix, 0) == 0;
    return n;
  };
  // the user is told which folder stayed, in the guard's own words
  int kept = 0;
  for (const auto& l : sys_.log)
    kept += l.rfind("kept ", 0) == 0 && l.find("C:\\Program Files") != l.npos;
  EXPECT_EQ(kept, 1);
  EXPECT_EQ(count("rmtree C:\\Program Files"), 0);
  EXPECT_EQ(count("rm C:\\Desk"), 0);
  EXPECT_EQ(count("readclass"), 0);
  EXPECT_EQ(count("rmkey 2"), 0);
  EXPECT_EQ(count("rmkey 1 software\\Microsoft"), 0);
  EXPECT_EQ(count("ask settings"), 1);
  EXPECT_EQ(count("rmtree C:\\Users"), 0);
  // a kept installation folder proves no service to be the product's, though their programs
  // lie below it
  EXPECT_EQ(count("stop"), 0);
  EXPECT_EQ(count("delete"), 0);
  EXPECT_NE(
      std::find(sink_.lines.begin(), sink_.lines.end(),
                "service kept: ToolSvc (its program C:\\Program Files\\Halvard\\Tool\\svc.exe "
                "cannot be shown to be the product's: the installation folder was kept)"),
      sink_.lines.end());
  EXPECT_EQ(sys_.log.back(), "done");
}

TEST_F(UninstallRunTest, DesktopLinkWithAZeroUnitIsNotRemoved) {
  // the wide call stops at the zero: "notes.txt<NUL>.lnk" would delete notes.txt
  const std::u16string hostile = std::u16string(u"C:\\Users\\me\\notes.txt") + u'\0' + u".lnk";
  sys_.values["desktop"] = EncodeLetterHex(hostile);
  ASSERT_TRUE(Run());
  for (const auto& l : sys_.log) EXPECT_EQ(l.find("notes.txt"), std::string::npos) << l;
  EXPECT_EQ(sys_.log.back(), "done");
}

TEST_F(UninstallRunTest, NoServicesWithoutWideCallsOrFirstEntryAndNoQuestionWithoutSettings) {
  sys_.wide = false;
  sys_.folders.clear();  // the settings folder is not there
  ASSERT_TRUE(Run());
  for (const auto& l : sys_.log) {
    EXPECT_NE(l.rfind("stop", 0), 0u) << l;
    EXPECT_NE(l.rfind("delete", 0), 0u) << l;
    EXPECT_NE(l, "ask settings");
  }
  sys_.log.clear();
  sys_.wide = true;
  sys_.values["service0"] = "";  // the list ends at the first empty entry
  ASSERT_TRUE(Run());
  for (const auto& l : sys_.log) EXPECT_NE(l.rfind("delete", 0), 0u) << l;
}

TEST_F(UninstallRunTest, FoldersTheGuardFoundAbsentAreNeverHandedToTheDelete) {
  // Nothing was there when the guard looked, so nothing about them was checked: not the main
  // program (App Paths names another folder here), not the system's folders. Should the delete
  // find one there after all, it would go unjudged.
  sys_.facts.absent = {u"C:\\Program Files\\Halvard\\Tool", u"C:\\Menu\\Programs\\Halvard\\Tool",
                       u"C:\\Users\\me\\AppData\\ToolSettings"};
  sys_.facts.files.clear();
  sys_.values[""] = "C:\\Elsewhere\\tool.exe";
  ASSERT_TRUE(Run());
  for (const auto& l : sys_.log) {
    EXPECT_NE(l.rfind("rmtree", 0), 0u) << l;
    EXPECT_NE(l, "ask settings");
  }
  // the empty folders above them still go, each judged by the guard
  EXPECT_NE(std::find(sys_.log.begin(), sys_.log.end(), "rmdir C:\\Program Files\\Halvard"),
            sys_.log.end());
  EXPECT_EQ(sys_.log.back(), "done");
}

// A recorded service name may be damaged, or name a service that was on the machine before the
// product: only a service whose program lies in the installation folder is stopped and deleted.
TEST_F(UninstallRunTest, OnlyServicesRunningAProgramOfTheInstallationFolderAreRemoved) {
  sys_.values["servicenames0"] = "EventLog";
  sys_.services["EventLog"] =
      u"C:\\Windows\\System32\\svchost.exe -k LocalServiceNetworkRestricted";
  sys_.values["service2"] = "twin.exe";
  sys_.values["servicenames2"] = "TwinSvc";  // a folder whose name only begins like ours
  sys_.services["TwinSvc"] = u"\"C:\\Program Files\\Halvard\\Tool2\\twin.exe\"";
  sys_.values["service3"] = "gone.exe";
  sys_.values["servicenames3"] = "GoneSvc";  // not there
  sys_.running = {"EventLog", "TwoSvc", "TwinSvc"};
  ASSERT_TRUE(Run());
  std::vector<std::string> touched;
  for (const auto& l : sys_.log) {
    if (l.rfind("stop ", 0) == 0 || l.rfind("delete ", 0) == 0) touched.push_back(l);
  }
  EXPECT_EQ(touched, (std::vector<std::string>{"stop TwoSvc", "delete TwoSvc"}));
  auto has = [&](const std::string& line) {
    return std::find(sink_.lines.begin(), sink_.lines.end(), line) != sink_.lines.end();
  };
  EXPECT_TRUE(
      has("service kept: EventLog (its program C:\\Windows\\System32\\svchost.exe is not "
          "in the installation folder C:\\Program Files\\Halvard\\Tool)"));
  EXPECT_TRUE(
      has("service kept: TwinSvc (its program C:\\Program Files\\Halvard\\Tool2\\twin.exe "
          "is not in the installation folder C:\\Program Files\\Halvard\\Tool)"));
  EXPECT_TRUE(has("service not removed: GoneSvc (its configuration could not be read)"));
  EXPECT_TRUE(has("service deleted: TwoSvc"));
  EXPECT_EQ(sys_.log.back(), "done");
}

// The extension may since have been taken over by another program, or the recorded name be
// damaged: the extension and its class go only when the class opens a program in the
// installation folder.
TEST_F(UninstallRunTest, AssociationIsRemovedOnlyWhenItsClassOpensTheProduct) {
  const std::string open = std::string(kClassKey) + "\\shell\\open\\command";
  const std::string ours = "\"C:\\Program Files\\Halvard\\Tool\\tool.exe\" \"%1\"";
  struct Case {
    std::string ext;
    std::map<std::string, std::string> classes;
    std::vector<std::string> removed;
  };
  const Case cases[] = {
      // another program took the extension over
      {".hvt",
       {{".hvt", "Other.Doc"},
        {"Other.Doc\\shell\\open\\command", "\"C:\\Program Files\\Other\\other.exe\" \"%1\""},
        {open, ours}},
       {}},
      // another product of the same installer wrote the shared class since
      {".hvt",
       {{".hvt", kClassKey}, {open, "\"C:\\Program Files\\Halvard\\Tool2\\t.exe\" \"%1\""}},
       {}},
      // a damaged value naming a system extension
      {".txt",
       {{".txt", "txtfile"}, {"txtfile\\shell\\open\\command", "C:\\Windows\\notepad.exe %1"}},
       {}},
      // a class that opens nothing, and a class name that is not one key
      {".hvt", {{".hvt", kClassKey}}, {}},
      {".hvt", {{".hvt", "..\\Brimlow.MXA"}, {"..\\Brimlow.MXA\\shell\\open\\command", ours}}, {}},
      // the product's own, its program named in another letter case
      {".hvt",
       {{".hvt", kClassKey}, {open, "\"c:\\program files\\halvard\\TOOL\\tool.exe\" \"%1\""}},
       {"rmkey 2 Brimlow.MXA", "rmkey 2 .hvt"}},
  };
  for (const Case& c : cases) {
    sys_.log.clear();
    sys_.values["fileassociations"] = c.ext;
    sys_.classes = c.classes;
    ASSERT_TRUE(Run());
    std::vector<std::string> removed;
    for (const auto& l : sys_.log) {
      if (l.rfind("rmkey 2 ", 0) == 0) removed.push_back(l);
    }
    EXPECT_EQ(removed, c.removed) << c.ext << " " << c.classes.begin()->second;
  }
  EXPECT_NE(std::find(sink_.lines.begin(), sink_.lines.end(),
                      "file association kept: .hvt (its class \"Other.Doc\" opens C:\\Program "
                      "Files\\Other\\other.exe, which is not in the installation folder "
                      "C:\\Program Files\\Halvard\\Tool)"),
            sink_.lines.end());
}

TEST(UninstallGuards, NamesAndKeys) {
  EXPECT_TRUE(SystemUserKey("software\\Microsoft"));
  EXPECT_TRUE(SystemUserKey("SOFTWARE\\WINE\\x"));
  EXPECT_FALSE(SystemUserKey("software\\MicrosoftTool"));
  EXPECT_FALSE(SystemUserKey("software\\Halvard"));
  EXPECT_TRUE(IsExtensionName(".hvt"));
  EXPECT_FALSE(IsExtensionName("."));
  EXPECT_FALSE(IsExtensionName("hvt"));
  EXPECT_FALSE(IsExtensionName(".a/b"));
  EXPECT_TRUE(EndsWithLinkSuffix(u"C:\\x\\Tool.LNK"));
  EXPECT_FALSE(EndsWithLinkSuffix(u"lnk"));
  EXPECT_FALSE(EndsWithLinkSuffix(u"C:\\x\\Tool.lnk.exe"));
}

// An installation with a record: its files go, everything else in its folders stays and is
// counted; a damaged record removes no file at all; a file in use stops the run before any key.
TEST_F(UninstallRunTest, RecordedInstallationRemovesWhatItMadeAndNothingElse) {
  const std::u16string dir = u"C:\\Apps\\Tool";
  InstallRecord rec;
  rec.identity = "com.halvard.tool";
  rec.displayname = "Halvard Tool";
  rec.exename = "tool.exe";
  rec.installfolder = dir;
  rec.files = {{u"\\tool.exe", 1, 0, 0}, {u"\\data\\a.bin", 1, 0, 0}, {u"\\gone.txt", 1, 0, 0}};
  rec.folders = {dir, dir + u"\\data"};
  rec.uninstaller = u"\\Uninstall com.halvard.tool.exe";
  rec.services = {"ToolSvc"};
  rec.shortcuts = {u"C:\\Desk\\Halvard Tool.lnk"};
  auto setup = [&](FakeUninstall& sys) {
    sys.ontree = true;
    for (const char16_t* f :
         {u"\\tool.exe", u"\\data\\a.bin", u"\\notes.txt", u"\\data\\user.txt",
          u"\\Uninstall com.halvard.tool.exe", u"\\Uninstall com.halvard.tool.dat"}) {
      sys.tree.Add(dir + f, EntryKind::kFile);
    }
    sys.tree.Add(u"C:\\Desk\\Halvard Tool.lnk", EntryKind::kFile);
    sys.services = {{"ToolSvc", u"\"C:\\Apps\\Tool\\tool.exe\" -service"},
                    {"OtherSvc", u"\"C:\\Apps\\Tool\\tool.exe\""}};
    sys.values = {{"Product", "com.halvard.tool"}, {"Displayname", "Halvard Tool"}};
  };
  UninstallInfo info;
  info.identity = rec.identity;
  info.displayname = rec.displayname;
  info.exename = rec.exename;
  info.recordpath = dir + u"\\Uninstall com.halvard.tool.dat";
  info.record = rec;
  info.hasrecord = true;

  FakeUninstall sys;
  setup(sys);
  LinesSink sink;
  UninstallRun run(info, sys, sys);
  run.SetLog(Log(&sink));
  EXPECT_TRUE(run.Run());
  EXPECT_FALSE(sys.tree.Has(dir + u"\\tool.exe"));
  EXPECT_FALSE(sys.tree.Has(dir + u"\\data\\a.bin"));
  EXPECT_FALSE(sys.tree.Has(dir + u"\\Uninstall com.halvard.tool.dat"));
  EXPECT_FALSE(sys.tree.Has(u"C:\\Desk\\Halvard Tool.lnk"));
  EXPECT_TRUE(sys.tree.Has(dir + u"\\notes.txt"));
  EXPECT_TRUE(sys.tree.Has(dir + u"\\data\\user.txt"));
  EXPECT_TRUE(sys.tree.Has(dir + u"\\data"));
  const auto has = [&](const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  };
  EXPECT_TRUE(
      has(sys.log, "files kept 2 files that Setup did not install were kept in C:\\Apps\\Tool."));
  EXPECT_TRUE(has(sys.log, "delete ToolSvc"));
  EXPECT_FALSE(has(sys.log, "delete OtherSvc"));  // not recorded: not the product's
  EXPECT_TRUE(has(sys.log, "rmkey 0 " + AppPathsKey("tool.exe")));
  EXPECT_TRUE(has(sys.log, "rmkey 0 " + UninstallKey("com.halvard.tool")));
  EXPECT_EQ(sys.log.back(), "done");

  // damaged or missing: not one file, only what the identity names
  FakeUninstall damaged;
  setup(damaged);
  UninstallInfo noinfo = info;
  noinfo.hasrecord = false;
  UninstallRun second(noinfo, damaged, damaged);
  EXPECT_TRUE(second.Run());
  EXPECT_TRUE(damaged.tree.Has(dir + u"\\tool.exe"));
  EXPECT_TRUE(damaged.tree.Has(dir + u"\\data\\a.bin"));
  for (const auto& l : damaged.log) EXPECT_NE(l.rfind("delete ", 0), 0u) << l;
  EXPECT_TRUE(has(damaged.log, "rmkey 0 " + UninstallKey("com.halvard.tool")));

  // a file in use that cannot be scheduled to go at the restart: the run stops there, the
  // registration stays for a second run
  FakeUninstall busy;
  setup(busy);
  busy.tree.nodes[u"C:\\APPS\\TOOL\\DATA\\A.BIN"].locked = true;
  busy.norestart = {dir + u"\\data\\a.bin"};
  UninstallRun third(info, busy, busy);
  EXPECT_FALSE(third.Run());
  EXPECT_TRUE(has(busy.log, "stopped C:\\Apps\\Tool"));
  for (const auto& l : busy.log) EXPECT_NE(l.rfind("rmkey ", 0), 0u) << l;
}

// Files in use (held open, or running) go at the next start, their folders after them, deepest
// first; the uninstall goes on and ends asking for a restart. A file whose deletion cannot be
// scheduled, or that fails for another reason, stops the run as before: never a success while
// a file stays.
TEST_F(UninstallRunTest, FilesInUseGoAtTheRestartAndAFileThatWouldStayStopsTheRun) {
  const std::u16string dir = u"C:\\Apps\\Tool";
  const std::u16string dll = dir + u"\\bin\\core.dll", dat = dir + u"\\bin\\sub\\x.dat";
  struct Case {
    const char* name;
    std::vector<std::pair<std::u16string, unsigned long>> failing;  // file, its removal's error
    std::set<std::u16string> norestart;                             // scheduling refused
    bool done;
    std::vector<std::string> atrestart;  // every scheduling asked for, in order
  };
  const std::string d = U8(dir);
  const Case cases[] = {
      {"ordinary files only", {}, {}, true, {}},
      {"held open and running",
       {{dll, 32}, {dat, 5}},
       {},
       true,
       {d + "\\bin\\core.dll", d + "\\bin\\sub\\x.dat", d + "\\bin\\sub", d + "\\bin", d}},
      {"the scheduling refused",
       {{dll, 32}, {dat, 5}},
       {dat},
       false,
       {d + "\\bin\\core.dll", d + "\\bin\\sub\\x.dat"}},
      {"a damaged file is not in use", {{dat, 1392}}, {}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallRecord rec;
    rec.identity = "com.halvard.tool";
    rec.displayname = "Halvard Tool";
    rec.exename = "tool.exe";
    rec.installfolder = dir;
    rec.files = {{u"\\tool.exe", 1, 0, 0},
                 {u"\\bin\\core.dll", 1, 0, 0},
                 {u"\\bin\\sub\\x.dat", 1, 0, 0},
                 {u"\\readme.txt", 1, 0, 0}};
    rec.folders = {dir, dir + u"\\bin", dir + u"\\bin\\sub"};
    UninstallInfo info;
    info.identity = rec.identity;
    info.displayname = rec.displayname;
    info.exename = rec.exename;
    info.record = rec;
    info.hasrecord = true;
    FakeUninstall sys;
    sys.ontree = true;
    for (const RecordedFile& f : rec.files) sys.tree.Add(dir + f.path, EntryKind::kFile);
    sys.tree.Add(dir + u"\\notes.txt", EntryKind::kFile);  // the user's
    for (const auto& [path, error] : c.failing) sys.tree.nodes[UpcaseName(path)].error = error;
    sys.norestart = c.norestart;
    UninstallRun run(info, sys, sys);
    EXPECT_EQ(run.Run(), c.done);
    std::vector<std::string> asked;
    for (const auto& l : sys.log) {
      if (l.rfind("at restart ", 0) == 0) asked.push_back(l.substr(11));
    }
    EXPECT_EQ(asked, c.atrestart);
    const auto has = [&](const std::string& text) {
      return std::find(sys.log.begin(), sys.log.end(), text) != sys.log.end();
    };
    EXPECT_EQ(has("rmkey 0 " + UninstallKey("com.halvard.tool")), c.done);
    EXPECT_EQ(has("stopped " + d), !c.done);
    EXPECT_EQ(has("restart completes"), c.done && !c.atrestart.empty());
    if (c.done) {
      EXPECT_EQ(run.restart(), !c.atrestart.empty());
      EXPECT_EQ(sys.log.back(), "done");
      // what is not in use is gone; the files in use are Setup's, not counted as kept
      EXPECT_FALSE(sys.tree.Has(dir + u"\\tool.exe"));
      EXPECT_FALSE(sys.tree.Has(dir + u"\\readme.txt"));
      EXPECT_TRUE(has("files kept " + U8(KeptFilesMessage(1, dir, kKeptFilesCounted))));
    }
  }
}

// One user's installation: its keys, class and extension go from that user's hive, and nothing
// of the machine is read or removed.
TEST_F(UninstallRunTest, InstallationForOneUserRemovesItsKeysFromThatUsersHive) {
  const std::u16string dir = u"C:\\Users\\me\\AppData\\Local\\Programs\\Tool";
  InstallRecord rec;
  rec.root = RegRoot::kCurrentUser;
  rec.identity = "com.halvard.tool";
  rec.displayname = "Halvard Tool";
  rec.exename = "tool.exe";
  rec.installfolder = dir;
  rec.files = {{u"\\tool.exe", 1, 0, 0}};
  rec.folders = {dir};
  rec.assocext = ".hvt";
  rec.assocclass = "Halvard.Doc";
  UninstallInfo info;
  info.identity = rec.identity;
  info.displayname = rec.displayname;
  info.exename = rec.exename;
  info.root = rec.root;
  info.recordpath = dir + u"\\Uninstall com.halvard.tool.dat";
  info.record = rec;
  info.hasrecord = true;
  FakeUninstall sys;
  sys.ontree = true;
  sys.tree.Add(dir + u"\\tool.exe", EntryKind::kFile);
  sys.userwide = {{"Software\\Classes\\Halvard.Doc\\shell\\open\\command|",
                   u"\"" + dir + u"\\tool.exe\" \"%1\""},
                  {"Software\\Classes\\.hvt|", u"Halvard.Doc"},
                  {AppPathsKey("tool.exe") + "|" + kProductValue, u"com.halvard.tool"}};
  UninstallRun run(info, sys, sys);
  EXPECT_TRUE(run.Run());
  EXPECT_FALSE(sys.tree.Has(dir + u"\\tool.exe"));
  std::vector<std::string> keys;
  for (const auto& l : sys.log) {
    if (l.rfind("rmkey ", 0) == 0) keys.push_back(l);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "rmkey 1 Software\\Classes\\Halvard.Doc",
                      "rmkey 1 Software\\Classes\\.hvt",
                      "rmkey 1 " + UninstallKey("com.halvard.tool"),
                      "rmkey 1 " + AppPathsKey("tool.exe"),
                      "rmkey 1 software\\microsoft\\windows\\currentversion\\run\\tool.exe",
                  }));
  EXPECT_EQ(sys.machinereads, 0);
  // the same class opening another user's program, or an extension taken over since, stays
  FakeUninstall other;
  other.ontree = true;
  other.userwide = {
      {"Software\\Classes\\Halvard.Doc\\shell\\open\\command|", u"\"C:\\Else\\x.exe\""},
      {"Software\\Classes\\.hvt|", u"Other.Doc"}};
  UninstallRun second(info, other, other);
  EXPECT_TRUE(second.Run());
  for (const auto& l : other.log) EXPECT_EQ(l.find("Classes"), std::string::npos) << l;
}

// Who removes an installation: one for every user (as its record says, or its entry when the
// record cannot tell) needs administrator rights, so a process without them (the uninstaller of
// an "either" package, which asks for none) hands the run to setup started again with them,
// once; one user's installation never asks, and neither does a "machine" package's uninstaller
// (its manifest gave it the rights) or the elevated start itself.
TEST(UninstallRights, OnlyAnAllUsersInstallationWithoutRightsStartsAgain) {
  const testing::ScratchDir dir;
  const std::unique_ptr<FileSystem> fs = MakeHostFileSystem();
  auto record = [&](const char* name, RegRoot root, const std::string& identity) {
    InstallRecord r;
    r.root = root;
    r.identity = identity;
    r.displayname = "Sample Tool";
    r.exename = "sample.exe";
    r.installfolder = u"C:\\Tool";
    std::vector<std::uint8_t> bytes = EncodeInstallRecord(r);
    if (identity.empty()) bytes.back() ^= 1;  // damaged
    testing::WriteFileBytes(dir / name, bytes);
  };
  record("m.dat", RegRoot::kLocalMachine, "com.kestrel.sample");
  record("u.dat", RegRoot::kCurrentUser, "com.kestrel.sample");
  record("other.dat", RegRoot::kCurrentUser, "com.kestrel.other");  // another product's
  record("damaged.dat", RegRoot::kCurrentUser, "");
  constexpr RegRoot kLM = RegRoot::kLocalMachine, kCU = RegRoot::kCurrentUser;
  struct Case {
    const char* what;
    RegRoot entry;
    const char* record;
    bool administrator, elevated;
    RegRoot scope;  // the installation's, as the run takes it
    bool elevate;
  };
  const Case cases[] = {
      {"all users, no rights", kLM, "m.dat", false, false, kLM, true},
      {"all users, a machine package's uninstaller", kLM, "m.dat", true, false, kLM, false},
      {"all users, the elevated start", kLM, "m.dat", false, true, kLM, false},
      {"all users, both", kLM, "m.dat", true, true, kLM, false},
      {"one user", kCU, "u.dat", false, false, kCU, false},
      {"one user, as an administrator", kCU, "u.dat", true, false, kCU, false},
      // the record tells where the product's keys are
      {"one user's record, all-users entry", kLM, "u.dat", false, false, kCU, false},
      {"all users' record, per-user entry", kCU, "m.dat", false, false, kLM, true},
      // no record to tell: the entry's place
      {"per-user entry, record missing", kCU, "none.dat", false, false, kCU, false},
      {"per-user entry, record damaged", kCU, "damaged.dat", false, false, kCU, false},
      {"per-user entry, another product's record", kCU, "other.dat", false, false, kCU, false},
      {"all-users entry, record damaged", kLM, "damaged.dat", false, false, kLM, true},
      {"all-users entry, no record named", kLM, nullptr, false, false, kLM, true},
  };
  for (const Case& c : cases) {
    SetupData data;
    data.uninstallmode = true;
    data.root = c.entry;
    data.identity = "com.kestrel.sample";
    if (c.record) data.recordpath = Utf8ToUtf16((dir / c.record).string());
    const UninstallInfo info = UninstallInfoFrom(data, *fs);
    EXPECT_EQ(info.root, c.scope) << c.what;
    EXPECT_EQ(NeedsElevation(info, c.administrator, c.elevated), c.elevate) << c.what;
  }
  // an entry of an earlier version, without an identity: every user, as they all were
  SetupData legacy;
  legacy.uninstallmode = true;
  EXPECT_TRUE(NeedsElevation(UninstallInfoFrom(legacy, *fs), false, false));
}

// Refused, the uninstall ends as a cancel (1602) with a message that names the product and says
// nothing was removed; failing to start for another reason, it failed (1603).
TEST(UninstallRights, ARefusalEndsAsACancelAndSaysNothingWasRemoved) {
  EXPECT_EQ(ExitCodeOf(NotElevated(kElevationRefused)), 1602);
  EXPECT_EQ(ExitCodeOf(NotElevated(2)), 1603);  // the program file was gone
  EXPECT_EQ(ExitCodeOf(NotElevated(0)), 1603);
  EXPECT_EQ(NoRightsToUninstallMessage(" Sample Tool "),
            u"Sample Tool is installed for all users, and only an administrator can uninstall "
            u"it. Nothing was removed.");
  // the name in the code page, shown as the system's text
  EXPECT_EQ(NoRightsToUninstallMessage("Caf\xe9"),
            u"Caf\u00e9 is installed for all users, and only an administrator can uninstall "
            u"it. Nothing was removed.");
}

}  // namespace
}  // namespace kestrel
