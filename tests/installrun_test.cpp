#include "installengine/installrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "forwarding_fs.h"
#include "pack/tools.h"
#include "package/extension.h"
#include "package/identity.h"
#include "package/startload.h"
#include "package_fixture.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

// the fixtures name only the fields a case is about
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::Assemble;
using testing::RawBlock;
using testing::RawFile;
using testing::RawPackage;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::Stored;

std::string U8(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

// Records every call in order, as one line each.
class FakeSystem final : public InstallSystem, public InstallObserver {
 public:
  std::vector<std::string> log;
  bool wide = true;
  bool window = false;
  std::string displayname;  // the App Paths "Displayname" of an earlier installation
  std::map<std::string, std::string> values;       // other App Paths values by name
  std::map<std::string, std::u16string> services;  // the command line of each service there
  bool running = true;
  bool create_ok = true;
  std::u16string windows, desktop, programs, startmenu;
  // Confirms the cancel at the n-th safe point (1-based); 0: never.
  int cancel_at_safepoint = 0;
  int safepoints = 0;
  bool cancelled = false;
  // Called at every safe point, e.g. to look at the disk at that moment.
  std::function<void()> at_safepoint;

  bool UseWideApi() override { return wide; }
  bool CloseRunningWindow(const std::string& pattern) override {
    log.push_back("close " + pattern);
    return window;
  }
  std::string ReadMachineString(const std::string& key, const std::string& value) override {
    log.push_back("read " + key + "|" + value);
    auto it = values.find(value);
    if (it != values.end()) return it->second;
    // an earlier installation's name; nothing else is there unless a case puts it there
    return value == "Displayname" ? displayname : std::string();
  }
  std::u16string ServiceProgram(const std::string& name) override {
    auto it = services.find(name);
    return it == services.end() ? u"" : it->second;
  }
  bool ServiceRunning(const std::string& name) override {
    log.push_back("running " + name);
    return running;
  }
  bool ServiceStop(const std::string& name) override {
    log.push_back("stop " + name);
    return true;
  }
  bool ServiceDelete(const std::string& name) override {
    log.push_back("delete " + name);
    return true;
  }
  bool ServiceCreate(const std::string& name, const std::u16string& path) override {
    log.push_back("create " + name + " " + U8(path));
    return create_ok;
  }
  bool ServiceStart(const std::string& name) override {
    log.push_back("start " + name);
    return true;
  }
  std::u16string ReadWideString(RegRoot, const std::string& key,
                                const std::string& value) override {
    log.push_back("readw " + key + "|" + value);
    auto it = widevalues.find(value);
    return it == widevalues.end() ? u"" : it->second;
  }
  std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows) override {
    for (const auto& r : rows) log.push_back(Row(r));
    return std::vector<unsigned long>(rows.size(), 0);
  }
  std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan) override {
    log.push_back("shortcuts " + U8(plan.groupfolder) + " " +
                  std::to_string(plan.grouprows.size()) + " " + U8(plan.desktop.linkfile));
    return std::vector<unsigned long>(plan.grouprows.size() + 1, 0);
  }
  bool RemoveKey(RegRoot, const std::string& key) override {
    log.push_back("removekey " + key);
    return true;
  }
  bool SaveKey(RegRoot, const std::string&, SavedKey& out) override {
    out = {};
    return true;
  }
  bool RestoreKey(RegRoot, const std::string& key, const SavedKey&) override {
    log.push_back("restorekey " + key);
    return true;
  }
  bool RemoveValue(RegRoot, const std::string&, const std::string&) override { return true; }
  bool RemoveEmptyKey(RegRoot, const std::string&) override { return true; }
  bool DeleteAtRestart(const std::u16string&) override { return false; }
  bool ReplaceAtRestart(const std::u16string&, const std::u16string&) override { return false; }
  bool FreeSpace(const std::u16string&, std::uint64_t&) override { return false; }
  // the applications AppsUsing finds, and the outcomes of the three calls
  std::vector<std::u16string> holders;
  unsigned long apps_error = 0, close_error = 0, restart_error = 0;
  unsigned long AppsUsing(const std::vector<std::u16string>& files,
                          std::vector<std::u16string>& apps) override {
    std::string line = "appsusing";
    for (const auto& f : files) line += " " + U8(f.substr(f.rfind(u'\\') + 1));
    log.push_back(line);
    apps = holders;
    return apps_error;
  }
  unsigned long CloseApps() override {
    log.push_back("closeapps");
    return close_error;
  }
  unsigned long RestartApps() override {
    log.push_back("restartapps");
    return restart_error;
  }
  std::map<std::string, std::u16string> widevalues;  // wide values by name
  std::u16string WindowsFolder() override { return windows; }
  std::u16string DesktopFolder() override { return desktop; }
  std::u16string ProgramsFolder() override { return programs; }
  std::u16string StartMenuFolder() override { return startmenu; }
  std::string InstallDate() override { return "20261208"; }
  void Pause(int ms) override { log.push_back("pause " + std::to_string(ms)); }
  void SafePoint() override {
    ++safepoints;
    if (safepoints == cancel_at_safepoint) cancelled = true;
    if (at_safepoint) at_safepoint();
  }
  bool Cancelled() override { return cancelled; }
  void ShowProgress(std::int32_t p) override { log.push_back("progress " + std::to_string(p)); }
  void InstallDone(bool failed, const std::u16string& text) override {
    log.push_back("done " + std::to_string(failed) + " " + U8(text));
  }
  void InstallStopped(const std::u16string& text) override { log.push_back("stopped " + U8(text)); }

  static std::string Row(const RegistryRow& r) {
    return "reg " + std::to_string(static_cast<int>(r.root)) + " " + r.key + "|" + r.name + "=" +
           (r.type == RegType::kDword        ? "dword:" + std::to_string(r.dword)
            : r.type == RegType::kWideString ? "w:" + U8(r.wide)
                                             : r.value);
  }
  std::vector<std::string> Rows() const {
    std::vector<std::string> out;
    for (const auto& l : log) {
      // the journal's own value comes and goes with the transaction
      if (l.rfind("reg ", 0) == 0 && l.find(kJournalKey) == std::string::npos) out.push_back(l);
    }
    return out;
  }
  std::vector<std::string> Starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : log) {
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
  }
  // Index of the first line starting with the prefix, or -1.
  int Find(const std::string& prefix) const {
    for (std::size_t i = 0; i < log.size(); ++i) {
      if (log[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    }
    return -1;
  }
};

// Collects the log lines the run writes.
class LinesSink final : public LogSink {
 public:
  std::vector<std::string> lines;
  void WriteLine(std::string_view l) override { lines.emplace_back(l); }
};

RawFile OneBlockFile(std::u16string name, std::u16string subfolder, std::uint32_t seed,
                     std::size_t size = 304) {
  return {.filename = std::move(name),
          .subfolder = std::move(subfolder),
          .blocks = {Stored(testing::RandomBytes(size, seed), true)}};
}

class InstallRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_.windows = pack::PackagePath(dir_ / "windows");
    sys_.desktop = pack::PackagePath(dir_ / "desktop");
    sys_.programs = pack::PackagePath(dir_ / "programs");
    sys_.startmenu = pack::PackagePath(dir_ / "startmenu");
  }

  // Writes the package, takes its Configuration record as the wizard would and opens it.
  bool Open(const RawPackage& pkg,
            const std::function<void(std::vector<std::uint8_t>&, std::int64_t)>& patch = {}) {
    const auto a = Assemble(pkg);
    bytes_ = a.bytes;
    if (patch) patch(bytes_, a.packageend);
    setup_ = dir_ / "setup.exe";
    testing::WriteFileBytes(setup_, bytes_);
    std::memcpy(&config_, bytes_.data() + bytes_.size() - kConfigRecordSize, kConfigRecordSize);
    WriteShort(config_.displayname, "  Demo App ");
    WriteShort(config_.exename, "demo.exe");
    WriteWide(config_.programgroup, u"\\Demo Group");
    WriteShort(config_.appdatafolder, "DemoData");
    packageend_ = a.packageend;
    run_.destfolder = pack::PackagePath(dir_ / "dest");
    return run_.OpenPackage(pack::PackagePath(setup_), packageend_);
  }
  void AddServices() {
    WriteShort(config_.servicefiles[0], "svc\\one.exe");
    WriteShort(config_.servicenames[0], "SvcOne");
    WriteShort(config_.servicefiles[1], "two.exe");
    WriteShort(config_.servicenames[1], "SvcTwo");
    WriteShort(config_.servicenames[2], "NotConfigured");  // behind the first empty file entry
    // both there from an earlier installation into the same folder
    sys_.services["SvcOne"] = u"\"" + run_.destfolder + u"\\svc\\one.exe\"";
    sys_.services["SvcTwo"] = u"\"" + run_.destfolder + u"\\two.exe\" -k";
  }
  // What the run hands the registration: the folders, the bytes written and the day.
  RegistrationInput In() const {
    RegistrationInput in{config_, run_.destfolder, sys_.desktop, sys_.windows};
    // the bytes written, whatever the directory's size fields say
    for (const RecordedFile& f : run_.record().files) in.installedbytes += f.size;
    in.installdate = "20261208";
    in.identity = ProductIdentity(config_);
    in.uninstaller = run_.destfolder + u"\\" + UninstallerName(in.identity);
    in.recordpath = run_.destfolder + u"\\" + RecordName(in.identity);
    return in;
  }
  fs::path Dest(const std::string& rel) const { return dir_ / "dest" / rel; }
  fs::path Uninstaller() const {
    return dir_ / "dest" / Utf16ToUtf8(UninstallerName(ProductIdentity(config_)));
  }
  fs::path SharedUninstaller() const { return dir_ / "windows" / "kestrelui.exe"; }

  ScratchDir dir_;
  fs::path setup_;
  std::vector<std::uint8_t> bytes_;
  std::int64_t packageend_ = 0;
  ConfigRecord config_{};
  FakeSystem sys_;
  std::unique_ptr<FileSystem> fs_ = MakeHostFileSystem();
  InstallRun run_{config_, *fs_, sys_, sys_};
};

TEST_F(InstallRunTest, FullRunTakesEveryStepInOrder) {
  RawPackage pkg;
  pkg.stubsize = 150000;  // not a multiple of the 65536-byte pieces
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  pkg.files.push_back({.filename = u"b.bin",
                       .subfolder = u"\\data",
                       .attributes = 0x01,
                       .blocks = {Stored(testing::RandomBytes(65536, 2), false),
                                  Stored(testing::RandomBytes(16, 3), true)}});
  ASSERT_TRUE(Open(pkg));
  AddServices();
  WriteShort(config_.shortcutfiles[0], "tool.exe -x");
  WriteShort(config_.shortcutcaptions[0], "Tool");
  WriteShort(config_.assocext, ".dmo");
  WriteShort(config_.assocclass, "Brimlow.MXA");
  WriteShort(config_.assocprogram, "demo.exe");
  run_.language = std::string("\x01\0K\0", 4) + "table";
  run_.RunInstall();

  const auto& log = sys_.log;
  ASSERT_GT(log.size(), 4u);
  // whose the App Paths key is, and the same product's earlier record, before anything changes
  EXPECT_EQ(log[0], "read " + AppPathsKey("demo.exe") + "|Displayname");
  // an interrupted earlier run's journal, the earlier record and version
  EXPECT_EQ(log[1], "readw " + std::string(kJournalKey) + "|  Demo App ");
  EXPECT_EQ(log[2], "readw " + UninstallKey("  Demo App ") + "|InstallRecord");
  EXPECT_EQ(log[3], "read " + UninstallKey("  Demo App ") + "|DisplayVersion");
  // the transaction's journal is named before the first change
  EXPECT_EQ(log[4].rfind("reg 0 " + std::string(kJournalKey) + "|  Demo App =w:", 0), 0u);
  EXPECT_EQ(log[5], "close Demo App (*");  // trimmed name, a blank and "(*"
  EXPECT_EQ(sys_.Find("pause 3000"), -1);  // no window: no pause
  // no earlier installation: its Displayname is read, no service is touched before the files
  EXPECT_EQ(log[6], "read " + AppPathsKey("demo.exe") + "|Displayname");
  EXPECT_EQ(sys_.Find("running "), -1);
  EXPECT_EQ(sys_.Find("delete "), -1);

  // the files, byte for byte
  EXPECT_EQ(ReadFileBytes(Dest("a.bin")), testing::RandomBytes(304, 1));
  auto b = testing::RandomBytes(65536, 2);
  const auto tail = testing::RandomBytes(16, 3);
  b.insert(b.end(), tail.begin(), tail.end());
  EXPECT_EQ(ReadFileBytes(Dest("data/b.bin")), b);

  // the product's own uninstaller: exactly the program part; no shared copy is made
  const std::vector<std::uint8_t> stub(bytes_.begin(), bytes_.begin() + 150000);
  EXPECT_EQ(ReadFileBytes(Uninstaller()), stub);
  EXPECT_FALSE(fs::exists(SharedUninstaller()));
  // the record: both files as written, the folders the run made, the uninstaller
  const InstallRecord& record = run_.record();
  ASSERT_EQ(record.files.size(), 2u);
  EXPECT_EQ(record.files[1].path, u"\\data\\b.bin");
  EXPECT_EQ(record.files[1].size, 65552u);
  EXPECT_EQ(record.folders.front(), run_.destfolder);
  EXPECT_EQ(record.folders[1], run_.destfolder + u"\\data");
  EXPECT_EQ(record.uninstaller, u"\\" + UninstallerName(ProductIdentity(config_)));
  EXPECT_EQ(record.services, (std::vector<std::string>{"SvcOne", "SvcTwo"}));
  EXPECT_TRUE(fs::exists(dir_ / "dest" / Utf16ToUtf8(RecordName(ProductIdentity(config_)))));
  EXPECT_EQ(record.language, run_.language);  // the uninstaller speaks as the run spoke

  // the bar: one step inside the two-block file, then 90, 95 and 100
  const auto progress = sys_.Starting("progress ");
  ASSERT_EQ(progress.size(), 4u);
  EXPECT_LT(std::stoi(progress[0].substr(9)), 90);
  EXPECT_EQ(progress[1], "progress 90");
  EXPECT_EQ(progress[2], "progress 95");
  EXPECT_EQ(progress[3], "progress 100");
  EXPECT_EQ(log[static_cast<std::size_t>(sys_.Find("progress 90")) - 1], "pause 100");

  // registry rows: App Paths, association, per service its creation then its rows, Uninstall
  std::vector<std::string> expect;
  const RegistrationInput in = In();
  for (const auto& r : AppPathsRows(in)) expect.push_back(FakeSystem::Row(r));
  const auto assoc = AssociationRows(in);
  EXPECT_EQ(assoc.size(), 7u);
  for (const auto& r : assoc) expect.push_back(FakeSystem::Row(r));
  const auto services = ConfiguredServices(config_, run_.destfolder);
  ASSERT_EQ(services.size(), 2u);
  for (const auto& s : services) {
    expect.push_back("create " + s.name + " " + U8(s.programpath));
    expect.push_back("start " + s.name);
    for (const auto& r : ServiceRows(in, s)) expect.push_back(FakeSystem::Row(r));
  }
  for (const auto& r : UninstallRows(in)) expect.push_back(FakeSystem::Row(r));
  const int first = sys_.Find("reg 0 " + AppPathsKey("demo.exe"));
  ASSERT_GT(first, sys_.Find("progress 95"));
  const std::vector<std::string> got(log.begin() + first,
                                     log.begin() + first + static_cast<int>(expect.size()));
  EXPECT_EQ(got, expect);
  // the size the system shows is what was written; the directory's size fields say 0 here
  EXPECT_NE(sys_.Find("reg 0 " + UninstallKey("  Demo App ") + "|EstimatedSize=dword:65"), -1);

  // shortcuts after the registry, then the last pauses and the report
  ShortcutInput shortcutin{config_,        run_.destfolder, sys_.programs,
                           sys_.startmenu, sys_.windows,    sys_.desktop};
  shortcutin.uninstaller = in.uninstaller;
  shortcutin.uninstallarguments = UninstallArguments(in);
  const ShortcutPlan plan = PlanShortcuts(shortcutin);
  const std::size_t at = static_cast<std::size_t>(first) + expect.size();
  ASSERT_EQ(log.size(), at + 5);
  EXPECT_EQ(log[at], "shortcuts " + U8(plan.groupfolder) + " 4 " + U8(plan.desktop.linkfile));
  EXPECT_EQ(log[at + 1], "pause 200");
  EXPECT_EQ(log[at + 2], "progress 100");
  EXPECT_EQ(log[at + 3], "pause 40");
  EXPECT_EQ(log[at + 4], "done 0 Extracted");
}

// An unattended run has no bar to watch: the pauses around its last steps go; the closing
// product and the removed services are waited for by the system, not by fixed pauses.
TEST_F(InstallRunTest, UnattendedRunSkipsOnlyTheCosmeticPauses) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  AddServices();
  sys_.window = true;
  sys_.displayname = "  Demo App ";
  run_.SkipCosmeticPauses();
  run_.RunInstall();
  std::vector<std::string> pauses;
  for (const auto& l : sys_.log)
    if (l.rfind("pause ", 0) == 0) pauses.push_back(l);
  EXPECT_EQ(pauses, std::vector<std::string>{});
  EXPECT_EQ(sys_.log.back(), "done 0 Extracted");
  EXPECT_NE(sys_.Find("progress 100"), -1);
}

TEST_F(InstallRunTest, RunningProductIsClosedAndEarlierServicesRemovedBeforeAnyFile) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  AddServices();
  sys_.window = true;
  sys_.displayname = "  Demo App ";
  bool file_seen_before_delete = false;
  sys_.at_safepoint = [&] {
    if (sys_.Find("delete SvcTwo") < 0 && fs::exists(Dest("a.bin"))) {
      file_seen_before_delete = true;
    }
  };
  run_.RunInstall();
  const auto& log = sys_.log;
  // whose the key is (the same product) and its earlier record come first
  const int close = sys_.Find("close ");
  ASSERT_EQ(close, 6);
  ASSERT_GE(log.size(), 14u);
  EXPECT_EQ(log[6], "close Demo App (*");
  const std::vector<std::string> removal(log.begin() + 8, log.begin() + 14);
  EXPECT_EQ(removal, (std::vector<std::string>{"running SvcOne", "stop SvcOne", "delete SvcOne",
                                               "running SvcTwo", "stop SvcTwo", "delete SvcTwo"}));
  EXPECT_FALSE(file_seen_before_delete);
  EXPECT_TRUE(fs::exists(Dest("a.bin")));
  EXPECT_EQ(sys_.Find("delete NotConfigured"), -1);
  EXPECT_EQ(log.back(), "done 0 Extracted");
}

// Applications holding the files to be replaced: closed before the first file only when asked,
// started again at the end whatever the end (unless told not to), and a system that cannot tell
// or cannot close them leaves the installation going on.
struct AppsCase {
  const char* what;
  bool holders, close, restart, fail;
  unsigned long apps_error, close_error;
  bool closed, restarted;
};
class AppsUsingTest : public InstallRunTest, public ::testing::WithParamInterface<AppsCase> {};

TEST_P(AppsUsingTest, ClosedOnlyWhenAskedAndStartedAgain) {
  const AppsCase& c = GetParam();
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"held.bin", u"", 1));
  pkg.files.push_back(OneBlockFile(u"new.bin", u"", 2));
  if (c.fail) pkg.files.back().blocks[0].marker = 0x42;
  ASSERT_TRUE(Open(pkg));
  fs::create_directories(dir_ / "dest");
  testing::WriteFileBytes(Dest("held.bin"), {1, 2, 3});  // the one file in place
  if (c.holders) sys_.holders = {u"Editor", u"Viewer"};
  sys_.apps_error = c.apps_error;
  sys_.close_error = c.close_error;
  bool written_before_close = false;
  sys_.at_safepoint = [&] {
    if (sys_.Find("closeapps") == -1 && fs::exists(Dest("new.bin"))) written_before_close = true;
  };
  run_.closeapplications = c.close;
  run_.restartapplications = c.restart;
  run_.RunInstall();
  EXPECT_EQ(run_.failed(), c.fail);
  const int asked = sys_.Find("appsusing");
  ASSERT_GT(asked, sys_.Find("close Demo App"));
  EXPECT_EQ(sys_.log[asked], "appsusing held.bin");  // only what is there to be replaced
  EXPECT_EQ(sys_.Find("closeapps") != -1, c.closed);
  EXPECT_FALSE(c.closed && written_before_close);
  const int restarted = sys_.Find("restartapps");
  EXPECT_EQ(restarted != -1, c.restarted);
  if (restarted != -1) {
    EXPECT_LT(restarted, sys_.Find("done "));
  }
  EXPECT_EQ(sys_.log.back().rfind("done ", 0), 0u);
  EXPECT_EQ(ReadFileBytes(Dest("held.bin")).size(), c.fail ? 3u : 304u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppsUsingTest,
    ::testing::Values(AppsCase{"nobody", false, true, true, false, 0, 0, false, false},
                      AppsCase{"notclosed", true, false, true, false, 0, 0, false, false},
                      AppsCase{"closed", true, true, true, false, 0, 0, true, true},
                      AppsCase{"norestart", true, true, false, false, 0, 0, true, false},
                      AppsCase{"failed", true, true, true, true, 0, 0, true, true},
                      AppsCase{"cannottell", true, true, true, false, 5, 0, false, false},
                      AppsCase{"cannotclose", true, true, true, false, 0, 5, true, false}),
    [](const ::testing::TestParamInfo<AppsCase>& i) { return std::string(i.param.what); });

TEST_F(InstallRunTest, StoppedServiceIsOnlyDeletedAndFailedCreationIsNotStarted) {
  RawPackage pkg;
  ASSERT_TRUE(Open(pkg));
  AddServices();
  sys_.displayname = "  Demo App ";
  sys_.running = false;
  sys_.create_ok = false;
  run_.RunInstall();
  EXPECT_EQ(sys_.Find("stop "), -1);
  EXPECT_EQ(sys_.Starting("delete ").size(), 2u);
  EXPECT_EQ(sys_.Find("start "), -1);
  // the names are recorded whether or not the service could be made
  EXPECT_EQ(sys_.Rows().size(), 7u + 4u + 11u);
}

// A name in the package may be that of a service that was on the machine before the product:
// an earlier service goes only when its program lies in the destination folder, or in the
// folder the earlier installation recorded; the others are left alone and the log says so.
TEST_F(InstallRunTest, OnlyEarlierServicesOfTheProductAreRemoved) {
  RawPackage pkg;
  ASSERT_TRUE(Open(pkg));
  AddServices();
  WriteShort(config_.servicefiles[2], "three.exe");
  WriteShort(config_.servicenames[2], "SvcThree");
  WriteShort(config_.servicefiles[3], "four.exe");
  WriteShort(config_.servicenames[3], "SvcFour");
  sys_.displayname = "  Demo App ";
  sys_.values["Path"] = EncodeLetterHex(u"C:\\Old\\Demo\\");
  sys_.services["SvcTwo"] = u"C:\\Windows\\system32\\svchost.exe -k netsvcs";  // the system's
  sys_.services["SvcThree"] = u"\"C:\\OLD\\demo\\three.exe\"";  // the earlier folder's
  // SvcFour is not there
  LinesSink sink;
  run_.SetLog(Log(&sink));
  run_.RunInstall();
  EXPECT_EQ(sys_.Starting("delete "),
            (std::vector<std::string>{"delete SvcOne", "delete SvcThree"}));
  EXPECT_EQ(sys_.Starting("stop "), (std::vector<std::string>{"stop SvcOne", "stop SvcThree"}));
  auto has = [&](const std::string& line) {
    return std::find(sink.lines.begin(), sink.lines.end(), line) != sink.lines.end();
  };
  EXPECT_TRUE(
      has("earlier service kept: SvcTwo (its program C:\\Windows\\system32\\svchost.exe "
          "is not in the installation folder)"));
  EXPECT_TRUE(has("earlier service not removed: SvcFour (its configuration could not be read)"));
  EXPECT_TRUE(has("earlier service deleted: SvcThree"));
  // the installation goes on: every configured service is created and recorded
  EXPECT_EQ(sys_.Starting("create ").size(), 4u);
  EXPECT_EQ(sys_.log.back(), "done 0 ");
}

TEST_F(InstallRunTest, WithoutTheWideCallsNoServiceIsTouchedOrRecorded) {
  RawPackage pkg;
  ASSERT_TRUE(Open(pkg));
  AddServices();
  sys_.wide = false;
  sys_.displayname = "  Demo App ";
  run_.RunInstall();
  // only whose the App Paths key is and the installed version: nothing about earlier services
  EXPECT_EQ(sys_.Starting("read ").size(), 3u);
  EXPECT_EQ(sys_.Find("running "), -1);
  EXPECT_EQ(sys_.Find("create "), -1);
  EXPECT_EQ(sys_.Rows().size(), 7u + 11u);
  EXPECT_EQ(sys_.log.back(), "done 0 ");
}

TEST_F(InstallRunTest, PackageWithoutFilesStillRegistersAndFinishes) {
  RawPackage pkg;
  ASSERT_TRUE(Open(pkg));
  run_.RunInstall();
  EXPECT_EQ(sys_.Starting("progress "),
            (std::vector<std::string>{"progress 90", "progress 95", "progress 100"}));
  EXPECT_EQ(sys_.Rows().size(), 18u);
  EXPECT_NE(sys_.Find("shortcuts "), -1);
  EXPECT_EQ(sys_.log.back(), "done 0 ");
  EXPECT_TRUE(fs::exists(Uninstaller()));
}

// The host's files, but the disk fills up while the uninstaller copy is written.
class FullDiskFileSystem final : public testing::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  struct File final : testing::ForwardingFile {
    using ForwardingFile::ForwardingFile;
    bool CreateWrite(const std::u16string& p) override {
      full_ = p.find(u"kestrelui") != std::u16string::npos;
      return f_->CreateWrite(p);
    }
    bool Write(const void* b, std::uint32_t n) override {
      if (full_ && f_->Position() > 0) return false;
      return f_->Write(b, n);
    }
    bool full_ = false;
  };
  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<File>(host_.NewFile());
  }
};

// The shared copy older products name is brought up to date only from an older generation, and
// whole: a copy cut off by a full disk leaves the one there working; a later generation stays.
TEST_F(InstallRunTest, TheSharedUninstallerIsOnlyReplacedByALaterGenerationWhole) {
  RawPackage pkg;
  pkg.stubsize = 150000;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  fs::create_directories(dir_ / "windows");
  testing::WriteFileBytes(SharedUninstaller(), {'o', 'l', 'd'});
  FullDiskFileSystem full(*fs_);
  InstallRun run(config_, full, sys_, sys_);
  run.destfolder = run_.destfolder;
  ASSERT_TRUE(run.OpenPackage(pack::PackagePath(setup_), packageend_));
  run.RunInstall();
  EXPECT_EQ(ReadFileBytes(SharedUninstaller()), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_FALSE(fs::exists(dir_ / "windows" / "kestrelui.exe.partial"));
  // with room on the disk the copy replaces the old one whole
  run_.RunInstall();
  EXPECT_EQ(fs::file_size(SharedUninstaller()), 150000u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "windows"), fs::directory_iterator()), 1);
  // a later generation is never replaced
  const std::string later = "MZ...Kestrel uninstaller generation 9999...";
  testing::WriteFileBytes(SharedUninstaller(), {later.begin(), later.end()});
  InstallRun again(config_, *fs_, sys_, sys_);
  again.destfolder = run_.destfolder;
  ASSERT_TRUE(again.OpenPackage(pack::PackagePath(setup_), packageend_));
  again.RunInstall();
  EXPECT_EQ(fs::file_size(SharedUninstaller()), later.size());
  const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(later.data());
  EXPECT_EQ(StubGeneration(p, later.size()), 9999);
  EXPECT_EQ(StubGeneration(p, 10), 1);
}

// One user's installation: every row in that user's hive, the classes below its
// Software\Classes, no key of the machine read, no Windows folder or service touched; its
// uninstall command names the user's installation. Another product's program name in that
// user's App Paths is refused as on the machine.
TEST_F(InstallRunTest, InstallationForOneUserStaysInTheUsersHive) {
  RawPackage pkg;
  pkg.stubsize = 5000;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  AddServices();  // the packer refuses them for one user; setup touches none all the same
  WriteShort(config_.assocext, ".dmo");
  WriteShort(config_.assocclass, "Demo.File");
  WriteShort(config_.assocprogram, "demo.exe");
  fs::create_directories(dir_ / "windows");
  testing::WriteFileBytes(SharedUninstaller(), {'o', 'l', 'd'});
  sys_.displayname = "Other Product";  // the machine's App Paths key is not this user's
  run_.root = RegRoot::kCurrentUser;
  run_.RunInstall();
  ASSERT_FALSE(run_.failed()) << U8(run_.statustext());
  const std::vector<std::string> rows = sys_.Rows();
  ASSERT_FALSE(rows.empty());
  for (const std::string& r : rows) EXPECT_EQ(r.rfind("reg 1 ", 0), 0u) << r;
  auto has = [&](const std::string& line) {
    return std::find(rows.begin(), rows.end(), line) != rows.end();
  };
  EXPECT_TRUE(has("reg 1 Software\\Classes\\.dmo|=Demo.File"));
  const std::string id = ProductIdentity(config_);
  EXPECT_TRUE(has("reg 1 " + UninstallKey(id) + "|QuietUninstallString=w:\"" +
                  U8(run_.destfolder + u"\\" + UninstallerName(id)) +
                  "\" -ui demo.exe \"/PRODUCT=" + id + "\" /CURRENTUSER /S"));
  for (const std::string& l : sys_.Starting("read ")) ADD_FAILURE() << l;
  for (const char* call : {"create ", "delete ", "running ", "removekey "})
    EXPECT_TRUE(sys_.Starting(call).empty()) << call;
  EXPECT_EQ(ReadFileBytes(SharedUninstaller()), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(fs::exists(Dest(U8(RecordName(id)))));
  EXPECT_EQ(run_.record().root, RegRoot::kCurrentUser);

  sys_.log.clear();
  sys_.widevalues = {{"Displayname", u"Other Product"}, {kProductValue, u"com.other.product"}};
  run_.RunInstall();
  EXPECT_TRUE(run_.failed());
  EXPECT_EQ(sys_.log.back(), "done 1 " + U8(OwnedByAnotherMessage("demo.exe", "Other Product")));
}

// A main program name another product registered is refused before anything changes; the same
// product, or one made before identities with the same name, may install again.
TEST_F(InstallRunTest, AnotherProductsProgramNameIsRefusedBeforeAnythingChanges) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  sys_.displayname = "Other Product";
  sys_.values[kProductValue] = "com.other.product";
  run_.RunInstall();
  EXPECT_TRUE(run_.failed());
  EXPECT_FALSE(fs::exists(Dest("a.bin")));
  EXPECT_EQ(sys_.Find("close "), -1);
  EXPECT_EQ(sys_.log.back(), "done 1 " + U8(OwnedByAnotherMessage("demo.exe", "Other Product")));
  sys_.log.clear();
  sys_.displayname = "  Demo App ";  // the same product, registered by an earlier version
  sys_.values.erase(kProductValue);
  run_.RunInstall();
  EXPECT_FALSE(run_.failed());
  EXPECT_TRUE(fs::exists(Dest("a.bin")));
}

TEST_F(InstallRunTest, FailedSecondFileUndoesTheFirstAndSkipsTheRest) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"one.bin", u"", 1));
  RawFile broken = OneBlockFile(u"two.bin", u"", 2);
  broken.blocks[0].marker = 0x42;
  pkg.files.push_back(broken);
  pkg.files.push_back(OneBlockFile(u"three.bin", u"", 3));
  ASSERT_TRUE(Open(pkg));
  run_.RunInstall();
  EXPECT_TRUE(run_.failed());
  EXPECT_FALSE(fs::exists(Dest("one.bin")));  // rolled back, and its folder with it
  EXPECT_FALSE(fs::exists(dir_ / "dest"));
  EXPECT_FALSE(fs::exists(Dest("three.bin")));
  EXPECT_FALSE(fs::exists(Uninstaller()));
  EXPECT_TRUE(sys_.Rows().empty());
  EXPECT_EQ(sys_.Find("shortcuts "), -1);
  EXPECT_EQ(sys_.Find("progress 90"), -1);
  EXPECT_EQ(sys_.log.back(), "done 1 File corrupt");
}

TEST_F(InstallRunTest, ReadFailureStopsWithoutTheReportButTellsTheWizard) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"one.bin", u"", 1));
  pkg.files.push_back(OneBlockFile(u"cut.bin", u"", 2));
  pkg.files.push_back(OneBlockFile(u"three.bin", u"", 3));
  // the second record points at a header 20 bytes before the file's end announcing 64 bytes
  auto patch = [](std::vector<std::uint8_t>& bytes, std::int64_t packageend) {
    BlockHeader h{};
    h.marker = kBlockMarker;
    h.bitcount = 512;
    const std::size_t at = bytes.size() - 20 - sizeof h;
    std::memcpy(bytes.data() + at, &h, sizeof h);
    DirectoryRecord r;
    const std::size_t rec = static_cast<std::size_t>(packageend) - 8 - 2 * sizeof r;
    std::memcpy(&r, bytes.data() + rec, sizeof r);
    r.dataoffset = static_cast<std::int64_t>(at) - 100;  // the stub is 100 bytes
    std::memcpy(bytes.data() + rec, &r, sizeof r);
  };
  ASSERT_TRUE(Open(pkg, patch));
  run_.RunInstall();
  EXPECT_FALSE(fs::exists(Dest("one.bin")));
  EXPECT_FALSE(fs::exists(Dest("three.bin")));
  EXPECT_TRUE(sys_.Rows().empty());
  EXPECT_EQ(sys_.Find("done "), -1);
  EXPECT_EQ(sys_.log.back(), "stopped " + U8(std::u16string(kStatusReadFailed)));
}

TEST_F(InstallRunTest, ConfirmedCancelStartsNoFurtherFileAndUndoesTheWrittenOnes) {
  RawPackage pkg;
  for (int i = 0; i < 5; ++i) {
    pkg.files.push_back(OneBlockFile(u"f" + std::u16string(1, char16_t(u'0' + i)), u"", 10 + i));
  }
  ASSERT_TRUE(Open(pkg));
  // safe points: after closing the product, then before every file
  sys_.cancel_at_safepoint = 4;
  run_.RunInstall();
  // the two files written before the cancel are undone
  EXPECT_FALSE(fs::exists(Dest("f0")));
  EXPECT_FALSE(fs::exists(Dest("f1")));
  EXPECT_FALSE(fs::exists(Dest("f2")));
  EXPECT_TRUE(sys_.Rows().empty());
  EXPECT_FALSE(fs::exists(Uninstaller()));
  EXPECT_EQ(sys_.Find("done "), -1);
  EXPECT_EQ(sys_.Find("stopped "), -1);
  EXPECT_EQ(sys_.Find("shortcuts "), -1);
}

TEST_F(InstallRunTest, CancelAfterTheFilesUndoesThemAndWritesNoRegistryRow) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  // 1 after closing the product, 2 before the file, 3 the first after the files
  sys_.cancel_at_safepoint = 3;
  run_.RunInstall();
  EXPECT_FALSE(fs::exists(Dest("a.bin")));
  EXPECT_TRUE(sys_.Rows().empty());
  EXPECT_EQ(sys_.Find("done "), -1);
}

TEST_F(InstallRunTest, CancelDuringServiceRemovalStopsThere) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  ASSERT_TRUE(Open(pkg));
  AddServices();
  sys_.displayname = "  Demo App ";
  sys_.cancel_at_safepoint = 3;  // before the second service
  run_.RunInstall();
  EXPECT_NE(sys_.Find("delete SvcOne"), -1);
  EXPECT_EQ(sys_.Find("delete SvcTwo"), -1);
  EXPECT_FALSE(fs::exists(Dest("a.bin")));
  EXPECT_EQ(sys_.Find("done "), -1);
}

TEST_F(InstallRunTest, UnopenedPackageFailsAtOnceWithoutTouchingTheSystem) {
  RawPackage pkg;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1));
  pkg.filecount = 1000;  // more records than the file holds
  EXPECT_FALSE(Open(pkg));
  run_.RunInstall();
  EXPECT_TRUE(run_.failed());
  EXPECT_EQ(sys_.log, (std::vector<std::string>{"done 1 " + U8(std::u16string(kStatusNoPackage))}));
  EXPECT_FALSE(fs::exists(Dest("a.bin")));
}

TEST_F(InstallRunTest, EncipheredPackageFailsInOrder) {
  RawPackage pkg;
  pkg.encrypted = 1;
  ASSERT_TRUE(Open(pkg));  // even without files
  AddServices();
  sys_.displayname = "  Demo App ";
  run_.RunInstall();
  EXPECT_EQ(sys_.log, (std::vector<std::string>{"done 1 " + U8(std::u16string(kStatusEncrypted))}));
  EXPECT_FALSE(fs::exists(Uninstaller()));
}

// Keyed by the wizard's password check, an enciphered package installs like a plain one.
TEST_F(InstallRunTest, EncipheredPackageInstallsOnceKeyed) {
  const std::uint8_t key[] = {'k', 'e', 'y'};
  CipherState state;
  ASSERT_TRUE(MakeCipherState(key, state));
  RawPackage pkg;
  pkg.encrypted = 1;
  pkg.cipher = &state;
  const auto content = testing::RandomBytes(304, 4);
  pkg.files.push_back({.filename = u"a.bin",
                       .chainleft = 9,
                       .blocks = {Stored(content, true)},
                       .contentcrc = Crc32(content.data(), content.size())});
  ASSERT_TRUE(Open(pkg));
  ASSERT_TRUE(run_.reader().SetKey(key));
  run_.RunInstall();
  EXPECT_FALSE(run_.failed()) << U8(run_.statustext());
  EXPECT_EQ(ReadFileBytes(Dest("a.bin")), content);
  EXPECT_TRUE(fs::exists(Uninstaller()));
}

// Another file put in the place of setup's own between the start-up check and the install
// (a local user with write access to the Downloads folder) must change nothing: the files and
// the uninstaller copy come from the handle that was checked, whatever the path names later.
class SwappingFileSystem final : public testing::ForwardingFileSystem {
 public:
  SwappingFileSystem(FileSystem& host, std::u16string path, std::u16string other)
      : ForwardingFileSystem(host), path_(std::move(path)), other_(std::move(other)) {}
  std::unique_ptr<PackageFile> NewFile() override {
    class Swapped final : public testing::ForwardingFile {
     public:
      Swapped(std::unique_ptr<PackageFile> f, const SwappingFileSystem& fs)
          : ForwardingFile(std::move(f)), fs_(fs) {}
      bool OpenRead(const std::u16string& p) override {
        return f_->OpenRead(p == fs_.path_ ? fs_.other_ : p);
      }

     private:
      const SwappingFileSystem& fs_;
    };
    return std::make_unique<Swapped>(host_.NewFile(), *this);
  }

 private:
  std::u16string path_, other_;
};

TEST_F(InstallRunTest, TheFileSwappedAfterTheCheckChangesNothingInstalled) {
  RawPackage pkg;
  pkg.stubsize = 70000;
  pkg.files.push_back(OneBlockFile(u"a.bin", u"", 1, 5000));
  ASSERT_TRUE(Open(pkg));
  // the same layout with another payload and another program part
  RawPackage other = pkg;
  other.files[0] = OneBlockFile(u"a.bin", u"", 99, 5000);
  auto swapped = Assemble(other).bytes;
  swapped[64] = 0x77;
  testing::WriteFileBytes(dir_ / "swapped.exe", swapped);

  auto checked = fs_->NewFile();
  ASSERT_TRUE(checked->OpenRead(pack::PackagePath(setup_)));
  ConfigRecord loaded;
  std::string licence;
  ASSERT_EQ(LoadStartupPackage(*checked, loaded, licence), StartupLoad::kOk);
  SwappingFileSystem swapping(*fs_, pack::PackagePath(setup_),
                              pack::PackagePath(dir_ / "swapped.exe"));
  InstallRun run(config_, swapping, sys_, sys_);
  run.destfolder = run_.destfolder;
  ASSERT_TRUE(run.OpenPackage(pack::PackagePath(setup_), packageend_, checked.get()));
  run.RunInstall();
  EXPECT_FALSE(run.failed()) << U8(run.statustext());
  EXPECT_EQ(ReadFileBytes(Dest("a.bin")), testing::RandomBytes(5000, 1));
  EXPECT_EQ(ReadFileBytes(Uninstaller()),
            std::vector<std::uint8_t>(bytes_.begin(), bytes_.begin() + 70000));
  // the checked handle stays its owner's, open
  EXPECT_TRUE(checked->IsOpen());
}

// A program file that stops yielding bytes early must end the copy, not loop.
TEST(CopyProgramPart, ExactLengthAndEarlyEnd) {
  ScratchDir dir;
  const auto bytes = testing::RandomBytes(200000, 7);
  testing::WriteFileBytes(dir / "prog", bytes);
  auto fs = MakeHostFileSystem();
  std::vector<std::uint8_t> buffer(kTransferBufferSize);
  for (const std::int64_t length :
       {std::int64_t{0}, std::int64_t{65536}, std::int64_t{150001}, std::int64_t{200000}}) {
    auto in = fs->NewFile();
    ASSERT_TRUE(in->OpenRead(pack::PackagePath(dir / "prog")));
    auto out = fs->NewFile();
    ASSERT_TRUE(out->CreateWrite(pack::PackagePath(dir / "copy")));
    EXPECT_TRUE(CopyProgramPart(*in, *out, length, buffer.data())) << length;
    out->Close();
    EXPECT_EQ(ReadFileBytes(dir / "copy"),
              std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + length));
  }
  auto in = fs->NewFile();
  ASSERT_TRUE(in->OpenRead(pack::PackagePath(dir / "prog")));
  auto out = fs->NewFile();
  ASSERT_TRUE(out->CreateWrite(pack::PackagePath(dir / "copy")));
  EXPECT_FALSE(CopyProgramPart(*in, *out, 300000, buffer.data()));
  out->Close();
  EXPECT_EQ(ReadFileBytes(dir / "copy"), bytes);
}

TEST(RunningWindowPattern, TrimsTheNameAndAddsTheParenthesis) {
  ConfigRecord c{};
  WriteShort(c.displayname, "  My Tool  ");
  EXPECT_EQ(RunningWindowPattern(c), "My Tool (*");
}

}  // namespace
}  // namespace kestrel
