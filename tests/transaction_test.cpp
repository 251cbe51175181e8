// The transaction around an install: failed at every change, killed after every change (a journal
// write cut in half), cancelled at every safe point, for a first install and for an upgrade: the
// machine is afterwards what it was before. And the version rules and the space check, which
// refuse before the first change.
#include "installengine/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "forwarding_fs.h"
#include "installengine/installrun.h"
#include "pack/tools.h"
#include "package/identity.h"
#include "package_fixture.h"
#include "sysutil/codepage.h"

// the fixtures name only the fields a case is about
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::RawFile;
using testing::RawPackage;
using testing::Stored;

// Every change the machine takes passes here: the n-th may fail, and after `freeze_after`
// changes the process is dead: nothing more reaches the machine.
struct Faults {
  int fail_at = 0;
  int freeze_after = 0;
  std::uint32_t write_limit = 0;  // a larger write fails: the disk is full
  std::u16string locked;          // a file held open by another program: no rename, no write
  std::map<fs::path, std::int64_t> synced;  // each file's bytes put on the disk by a flush
  int count = 0;
  bool frozen = false;
  bool just_frozen = false;
  bool Change() {
    just_frozen = false;
    if (frozen) return false;
    ++count;
    if (freeze_after && count > freeze_after) return frozen = just_frozen = true, false;
    return count != fail_at;
  }
};

// "C:\..." is the scratch machine's folder, so paths look as on Windows (the record insists).
struct Drive {
  std::u16string root;
  std::u16string operator()(const std::u16string& p) const {
    return p.size() >= 2 && p[1] == u':' ? root + p.substr(2) : p;
  }
};

class FaultFile final : public testing::ForwardingFile {
 public:
  FaultFile(std::unique_ptr<PackageFile> f, Faults& faults, const Drive& drive)
      : ForwardingFile(std::move(f)), faults_(faults), drive_(drive) {}
  bool OpenRead(const std::u16string& p) override { return f_->OpenRead(drive_(p)); }
  bool CreateWrite(const std::u16string& p) override {
    std::string host = Utf16ToUtf8(drive_(p));
    std::replace(host.begin(), host.end(), '\\', '/');
    path_ = host;
    return faults_.Change() && p != faults_.locked && f_->CreateWrite(drive_(p));
  }
  bool Write(const void* b, std::uint32_t n) override {
    // the disk fills up during a file (the journal's plan, one write, is larger than a file here)
    if (faults_.write_limit && n > faults_.write_limit && path_.extension() != ".journal")
      return false;
    if (faults_.Change()) return f_->Write(b, n);
    if (faults_.just_frozen && n > 1) f_->Write(b, n / 2);  // the write the kill cut short
    return false;
  }
  bool Flush() override {
    if (faults_.frozen) return false;
    faults_.synced[path_] = f_->Position();
    return true;
  }

 private:
  Faults& faults_;
  const Drive& drive_;
  fs::path path_;
};

class FaultFs final : public testing::ForwardingFileSystem {
 public:
  FaultFs(FileSystem& host, Faults& faults) : ForwardingFileSystem(host), faults_(faults) {}
  Drive drive;
  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<FaultFile>(host_.NewFile(), faults_, drive);
  }
  std::vector<std::u16string> searched;  // every path searched on its own
  bool FindEntry(const std::u16string& p, bool& d) override {
    searched.push_back(p);
    return host_.FindEntry(drive(p), d);
  }
  bool ListFiles(const std::u16string& p, std::vector<std::u16string>& names) override {
    return host_.ListFiles(drive(p), names);
  }
  bool CreateFolder(const std::u16string& p) override {
    return faults_.Change() && host_.CreateFolder(drive(p));
  }
  bool ApplyAttributes(const std::u16string& p, std::uint32_t a) override {
    return faults_.Change() && host_.ApplyAttributes(drive(p), a);
  }
  bool RemoveFile(const std::u16string& p) override {
    return faults_.Change() && p != faults_.locked && host_.RemoveFile(drive(p));
  }
  bool RemoveFolder(const std::u16string& p) override {
    return faults_.Change() && host_.RemoveFolder(drive(p));
  }
  bool MoveReplacing(const std::u16string& a, const std::u16string& b) override {
    return faults_.Change() && a != faults_.locked && b != faults_.locked &&
           host_.MoveReplacing(drive(a), drive(b));
  }

 private:
  Faults& faults_;
};

std::string Up(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return s;
}

// The registry, the services and the links of the machine, every change through the faults.
class World final : public InstallSystem, public InstallObserver {
 public:
  World(FileSystem& fs, Faults& faults) : fs_(fs), faults_(faults) {}

  std::map<std::string, std::map<std::u16string, SavedValue>> keys;  // "root|KEY"
  std::map<std::string, std::u16string> services;                    // name: command
  std::u16string windows, desktop, programs, startmenu;
  std::uint64_t free = ~std::uint64_t{0};
  int cancel_at = 0, safepoints = 0;
  bool cancelled = false, done = false, failed = false;

  static std::string Name(RegRoot root, const std::string& key) {
    return std::to_string(static_cast<int>(root)) + "|" + Up(key);
  }
  bool HasSubkeys(const std::string& name) const {
    auto it = keys.upper_bound(name + "\\");
    return it != keys.end() && it->first.compare(0, name.size() + 1, name + "\\") == 0;
  }
  const SavedValue* Value(RegRoot root, const std::string& key, const std::string& value) const {
    auto k = keys.find(Name(root, key));
    if (k == keys.end()) return nullptr;
    auto v = k->second.find(FromCodePage(value));
    return v == k->second.end() ? nullptr : &v->second;
  }

  bool UseWideApi() override { return true; }
  bool LastErrorIsDiskFull() override { return faults_.write_limit != 0; }
  bool CloseRunningWindow(const std::string&) override { return false; }
  std::string ReadMachineString(const std::string& key, const std::string& value) override {
    const SavedValue* v = Value(RegRoot::kLocalMachine, key, value);
    if (!v || v->type != 1 || v->data.empty()) return {};
    return std::string(v->data.begin(), v->data.end() - 1);
  }
  std::u16string ReadWideString(RegRoot root, const std::string& key,
                                const std::string& value) override {
    const SavedValue* v = Value(root, key, value);
    if (!v || v->type != 1 || v->data.size() < 2) return {};
    std::u16string s(v->data.size() / 2 - 1, u'\0');
    std::memcpy(s.data(), v->data.data(), s.size() * 2);
    return s;
  }
  std::u16string ServiceProgram(const std::string& name) override {
    auto it = services.find(name);
    return it == services.end() ? u"" : it->second;
  }
  bool ServiceRunning(const std::string& name) override { return services.count(name) > 0; }
  bool ServiceStop(const std::string&) override { return faults_.Change(); }
  bool ServiceStart(const std::string&) override { return faults_.Change(); }
  bool ServiceDelete(const std::string& name) override {
    return faults_.Change() && services.erase(name) > 0;
  }
  bool ServiceCreate(const std::string& name, const std::u16string& path) override {
    if (!faults_.Change() || services.count(name)) return false;
    services[name] = u"\"" + path + u"\"";
    return true;
  }
  std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows) override {
    std::vector<unsigned long> out;
    for (const RegistryRow& r : rows) {
      if (!faults_.Change()) {
        out.push_back(5);
        continue;
      }
      for (std::size_t k = r.key.find('\\'); k != std::string::npos; k = r.key.find('\\', k + 1))
        keys[Name(r.root, r.key.substr(0, k))];
      SavedValue v;
      v.name = FromCodePage(r.name);
      v.type = r.type == RegType::kDword ? 4 : 1;
      if (r.type == RegType::kDword) {
        v.data.resize(4);
        std::memcpy(v.data.data(), &r.dword, 4);
      } else if (r.type == RegType::kWideString) {
        v.data.resize((r.wide.size() + 1) * 2);
        std::memcpy(v.data.data(), r.wide.c_str(), v.data.size());
      } else {
        v.data.assign(r.value.begin(), r.value.end());
        v.data.push_back(0);
      }
      keys[Name(r.root, r.key)][v.name] = v;
      out.push_back(0);
    }
    return out;
  }
  std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan) override {
    std::vector<unsigned long> out;
    auto make = [&](const ShortcutRow& r) {
      auto f = fs_.NewFile();
      const bool made = f->CreateWrite(r.linkfile) &&
                        f->Write(r.target.data(), static_cast<std::uint32_t>(r.target.size() * 2));
      f->Close();
      out.push_back(made ? 0 : 5);
    };
    CreateFolderChain(fs_, plan.groupfolder);
    for (const ShortcutRow& r : plan.grouprows) make(r);
    make(plan.desktop);
    return out;
  }
  bool RemoveKey(RegRoot root, const std::string& key) override {
    if (!faults_.Change() || HasSubkeys(Name(root, key))) return false;
    keys.erase(Name(root, key));
    return true;
  }
  bool SaveKey(RegRoot root, const std::string& key, SavedKey& out) override {
    out = {};
    auto it = keys.find(Name(root, key));
    if (it == keys.end()) return true;
    out.existed = true;
    for (const auto& [name, v] : it->second) out.values.push_back(v);
    return true;
  }
  bool RestoreKey(RegRoot root, const std::string& key, const SavedKey& saved) override {
    if (!faults_.Change()) return false;
    const std::string name = Name(root, key);
    if (!saved.existed) {
      if (!HasSubkeys(name)) keys.erase(name);
      return true;
    }
    auto& values = keys[name];
    values.clear();
    for (const SavedValue& v : saved.values) values[v.name] = v;
    return true;
  }
  bool RemoveValue(RegRoot root, const std::string& key, const std::string& value) override {
    auto it = keys.find(Name(root, key));
    return faults_.Change() && it != keys.end() && it->second.erase(FromCodePage(value)) > 0;
  }
  bool RemoveEmptyKey(RegRoot root, const std::string& key) override {
    const std::string name = Name(root, key);
    auto it = keys.find(name);
    if (!faults_.Change() || it == keys.end() || !it->second.empty() || HasSubkeys(name))
      return false;
    keys.erase(it);
    return true;
  }
  bool DeleteAtRestart(const std::u16string& path) override {
    atrestart.push_back(path);
    return true;
  }
  std::vector<std::u16string> atrestart;  // files the system is to delete when it starts
  bool ReplaceAtRestart(const std::u16string& from, const std::u16string& to) override {
    replaceatrestart.emplace_back(from, to);
    return true;
  }
  std::vector<std::pair<std::u16string, std::u16string>> replaceatrestart;
  bool FreeSpace(const std::u16string&, std::uint64_t& bytes) override {
    bytes = free;
    return true;
  }
  std::u16string WindowsFolder() override { return windows; }
  std::u16string DesktopFolder() override { return desktop; }
  std::u16string ProgramsFolder() override { return programs; }
  std::u16string StartMenuFolder() override { return startmenu; }
  std::string InstallDate() override { return "20261208"; }

  void Pause(int) override {}
  void SafePoint() override {
    if (++safepoints == cancel_at) cancelled = true;
  }
  bool Cancelled() override { return cancelled; }
  void ShowProgress(std::int32_t) override {}
  void InstallDone(bool f, const std::u16string&) override {
    done = true;
    failed = f;
  }
  void InstallStopped(const std::u16string&) override { failed = true; }

 private:
  FileSystem& fs_;
  Faults& faults_;
};

RawFile File(std::u16string name, std::u16string sub, std::uint32_t seed) {
  auto bytes = testing::RandomBytes(8 * (25 + seed), seed);  // whole payload units
  RawFile f{.filename = std::move(name), .subfolder = std::move(sub)};
  f.filesize = static_cast<std::int64_t>(bytes.size());
  f.contentcrc = Crc32(bytes.data(), bytes.size());
  f.blocks = {Stored(std::move(bytes), true)};
  return f;
}

class TransactionTest : public ::testing::Test {
 protected:
  struct Package {
    fs::path path;
    std::int64_t end = 0;
    ConfigRecord config{};
  };

  Package Make(const std::string& name, const std::string& version,
               const std::vector<RawFile>& files) {
    RawPackage raw;
    raw.compressed = 0;
    raw.files = files;
    const auto a = testing::Assemble(raw);
    Package p;
    p.path = dir_ / name;
    testing::WriteFileBytes(p.path, a.bytes);
    std::memcpy(&p.config, a.bytes.data() + a.bytes.size() - kConfigRecordSize, kConfigRecordSize);
    p.end = a.packageend;
    WriteShort(p.config.displayname, "Demo App");
    WriteShort(p.config.exename, "a.bin");
    WriteShort(p.config.version, version);
    WriteWide(p.config.programgroup, u"\\Demo");
    WriteShort(p.config.servicefiles[0], "svc.bin");
    WriteShort(p.config.servicenames[0], "DemoSvc");
    WriteShort(p.config.assocext, ".dmo");
    WriteShort(p.config.assocprogram, "a.bin");
    return p;
  }

  void SetUp() override {
    // the keys every system has
    for (const std::string& key : {AppPathsKey("x"), UninstallKey("x")}) {
      for (std::size_t k = key.find('\\'); k != std::string::npos; k = key.find('\\', k + 1))
        world_.keys[World::Name(RegRoot::kLocalMachine, key.substr(0, k))];
    }
    seed_ = world_.keys;
    fs::create_directories(dir_ / "m" / "win");
    fs::create_directories(dir_ / "m" / "desk");
    fs::create_directories(dir_ / "m" / "start" / "programs");
    fs::create_directories(dir_ / "m" / "apps");
    faultfs_.drive.root = pack::PackagePath(dir_ / "m");
    world_.windows = u"C:\\win";
    world_.desktop = u"C:\\desk";
    world_.programs = u"C:\\start\\programs";
    world_.startmenu = u"C:\\start";
    dest_ = u"C:\\apps\\Demo";
    v1_ = Make("v1.exe", "1.9",
               {File(u"a.bin", u"", 1), File(u"svc.bin", u"", 2), File(u"b.bin", u"\\data", 3),
                File(u"old.bin", u"\\data\\old", 4)});
    v2_ = Make("v2.exe", "1.10",
               {File(u"a.bin", u"", 11), File(u"svc.bin", u"", 12), File(u"b.bin", u"\\data", 13),
                File(u"new.bin", u"\\data\\new", 14)});
  }

  // Runs one install of `p` through the faults as they are set; true when it succeeded.
  bool Install(const Package& p, bool allowdowngrade = false) {
    world_.done = world_.failed = world_.cancelled = false;
    world_.safepoints = 0;
    InstallRun run(p.config, faultfs_, world_, world_);
    run.allowdowngrade = allowdowngrade;
    run.SkipCosmeticPauses();
    run.reader().solid_threads = false;
    if (!run.OpenPackage(pack::PackagePath(p.path), p.end)) return false;
    run.destfolder = dest_;
    run.RunInstall();
    downgrade_ = run.downgrade();
    status_ = run.statustext();
    return world_.done && !world_.failed;
  }

  // The machine as a text: every folder and file below it with its bytes, every key, value and
  // service.
  std::string State() {
    std::string s;
    std::vector<std::string> lines;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "m")) {
      std::string line = e.path().string();
      if (e.is_regular_file()) {
        const auto bytes = testing::ReadFileBytes(e.path());
        line += " " + std::to_string(Crc32(bytes.data(), bytes.size()));
      }
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& l : lines) s += l + "\n";
    for (const auto& [key, values] : world_.keys) {
      s += key + "\n";
      for (const auto& [name, v] : values) {
        s += "  " + Utf16ToUtf8(name) + " " + std::to_string(v.type) + " " +
             std::to_string(Crc32(v.data.data(), v.data.size())) + "\n";
      }
    }
    for (const auto& [name, command] : world_.services) s += name + " " + Utf16ToUtf8(command);
    return s;
  }
  fs::path Dest(const std::string& rel) const { return dir_ / "m" / "apps" / "Demo" / rel; }
  // Files a transaction leaves only while it runs: the journal and what it moved aside.
  int Leftovers() {
    int n = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "m")) {
      const std::string name = e.path().filename().string();
      n += name.find(".~ks") != std::string::npos || name.find(".journal") != std::string::npos;
    }
    return n;
  }
  Recovery Recover() {
    faults_ = {};
    return RecoverTransaction(faultfs_, world_, RegRoot::kLocalMachine, "Demo App", Log());
  }
  // The system starts again: what was to be deleted then goes.
  void Restart() {
    for (const auto& p : world_.atrestart) host_->RemoveFile(faultfs_.drive(p));
    world_.atrestart.clear();
    for (const auto& [from, to] : world_.replaceatrestart)
      host_->MoveReplacing(faultfs_.drive(from), faultfs_.drive(to));
    world_.replaceatrestart.clear();
  }

  // The power is cut: a file keeps only the bytes a flush put on the disk (the journal; every
  // other change is taken as made).
  void PowerCut() {
    for (const auto& [path, size] : faults_.synced) {
      if (fs::exists(path)) fs::resize_file(path, static_cast<std::uintmax_t>(size));
    }
  }
  // Every line of `before` (each file with its bytes, each key and value) is in `after`.
  static bool Kept(const std::string& before, const std::string& after) {
    auto lines = [](const std::string& text) {
      std::vector<std::string> out;
      for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end + 1;
      }
      std::sort(out.begin(), out.end());
      return out;
    };
    const auto a = lines(after), b = lines(before);
    return std::includes(a.begin(), a.end(), b.begin(), b.end());
  }

  // For every n: the install fails at change n (and must undo itself), or dies after change n
  // (and the next start undoes it); either way the machine is as before. With `power` it dies
  // by a power cut: what the journal had not put on the disk is lost, and the next start must
  // still bring back everything that was there before (a change the lost part guarded may
  // stay: a file, folder or key the install made). Then the install is run whole and must
  // succeed.
  void EveryChange(const Package& p, const std::string& before, bool die, bool power = false) {
    int n = 1;
    for (;; ++n) {
      faults_ = {};
      (die ? faults_.freeze_after : faults_.fail_at) = n;
      const bool ok = Install(p);
      const bool reached = die ? faults_.frozen : faults_.count >= n;
      if (!reached) {
        ASSERT_TRUE(ok) << "n=" << n;
        break;
      }
      if (power) PowerCut();
      if (die && Recover() != Recovery::kRolledBack) {
        // it died after its commit: the recovery finishes it
        Restart();
        EXPECT_EQ(Leftovers(), 0) << "died after change " << n;
        ASSERT_TRUE(BackToBefore(before));
      } else if (power) {
        ASSERT_TRUE(Kept(before, State())) << "power cut after change " << n << "\n" << State();
        EXPECT_EQ(Leftovers(), 0) << "power cut after change " << n;
        ASSERT_TRUE(BackToBefore(before));
      } else if (die || !ok) {
        ASSERT_EQ(State(), before) << (die ? "died after change " : "failed at change ") << n;
      } else {
        // a failure the install reports and goes on from (a registry row, a link, a backup that
        // goes at the restart, a journal that stays and is removed by the next run): it leaves
        // no trace of its transaction
        Recover();
        Restart();
        EXPECT_EQ(Leftovers(), 0) << "n=" << n;
        ASSERT_TRUE(BackToBefore(before));
      }
    }
    EXPECT_GT(n, 40);  // every kind of change was reached
    EXPECT_EQ(Leftovers(), 0);
  }

  // Puts the machine back to `before`: as it started, or with v1 and the user's file.
  bool BackToBefore(const std::string& before) {
    UninstallAll();
    faults_ = {};
    if (before != before_first_) {
      if (!Install(v1_)) return false;
      testing::WriteFileBytes(Dest("data/user.txt"), {'m', 'i', 'n', 'e'});
    }
    return State() == before;
  }
  // The registry, services and files a test made, gone: the machine as it started.
  void UninstallAll() {
    fs::remove_all(dir_ / "m" / "apps" / "Demo");
    for (const char* sub : {"desk", "start", "win"}) {
      for (const auto& e : fs::directory_iterator(dir_ / "m" / sub)) {
        if (e.path().filename() != "programs") fs::remove_all(e.path());
      }
    }
    for (const auto& e : fs::directory_iterator(dir_ / "m" / "start" / "programs"))
      fs::remove_all(e.path());
    world_.keys = seed_;
    world_.services.clear();
  }

  testing::ScratchDir dir_;
  std::unique_ptr<FileSystem> host_ = MakeHostFileSystem();
  Faults faults_;
  FaultFs faultfs_{*host_, faults_};
  World world_{faultfs_, faults_};
  std::u16string dest_;
  Package v1_, v2_;
  bool downgrade_ = false;
  std::u16string status_;
  std::string before_first_;
  decltype(World::keys) seed_;
};

TEST_F(TransactionTest, FirstInstallFailedOrKilledAtEveryChangeLeavesNothing) {
  before_first_ = State();
  EveryChange(v1_, before_first_, false);
  UninstallAll();
  EveryChange(v1_, before_first_, true);
  // the whole install: every file, the service, the keys
  EXPECT_TRUE(fs::exists(Dest("data/old/old.bin")));
  EXPECT_EQ(world_.services.count("DemoSvc"), 1u);
  EXPECT_NE(world_.Value(RegRoot::kLocalMachine, UninstallKey("Demo App"), "DisplayName"), nullptr);
}

TEST_F(TransactionTest, UpgradeFailedKilledOrCancelledLeavesTheEarlierVersionWhole) {
  before_first_ = State();
  ASSERT_TRUE(Install(v1_));
  testing::WriteFileBytes(Dest("data/user.txt"), {'m', 'i', 'n', 'e'});
  const std::string v1 = State();
  EveryChange(v2_, v1, false);
  ASSERT_TRUE(BackToBefore(v1));
  EveryChange(v2_, v1, true);
  ASSERT_TRUE(BackToBefore(v1));
  EveryChange(v2_, v1, true, true);
  // the upgrade, whole: in v1's folder, the file v2 no longer ships and its emptied folder gone,
  // the user's file kept, v2's files in place
  EXPECT_FALSE(fs::exists(Dest("data/old")));
  EXPECT_TRUE(fs::exists(Dest("data/user.txt")));
  EXPECT_TRUE(fs::exists(Dest("data/new/new.bin")));
  EXPECT_EQ(testing::ReadFileBytes(Dest("a.bin")), testing::RandomBytes(288, 11));
  // a cancel at every safe point
  for (int k = 1;; ++k) {
    ASSERT_TRUE(BackToBefore(v1));
    faults_ = {};
    world_.cancel_at = k;
    const bool ok = Install(v2_);
    const bool reached = world_.cancelled;
    world_.cancel_at = 0;
    if (!reached || ok) {
      // past the last safe point, or a cancel after the commit, too late to undo: complete
      EXPECT_TRUE(ok);
      EXPECT_TRUE(fs::exists(Dest("data/new/new.bin")));
      EXPECT_GT(k, 5);
      break;
    }
    ASSERT_EQ(State(), v1) << "cancelled at safe point " << k;
  }
  // an upgrade and a repair list each folder once: no package file is searched on its own
  for (int run = 0; run < 2; ++run) {
    if (run == 0) {
      ASSERT_TRUE(BackToBefore(v1));
    }
    faultfs_.searched.clear();
    ASSERT_TRUE(Install(v2_));
    for (const std::u16string& p : faultfs_.searched) {
      for (const char16_t* file : {u"\\a.bin", u"\\svc.bin", u"\\b.bin", u"\\new.bin"}) {
        const std::u16string end = file;
        EXPECT_FALSE(p.size() >= end.size() &&
                     p.compare(p.size() - end.size(), end.size(), end) == 0)
            << Utf16ToUtf8(p) << (run == 0 ? " (upgrade)" : " (repair)");
      }
    }
  }
}

TEST_F(TransactionTest, VersionRulesAndSpaceRefuseBeforeAnyChange) {
  const std::pair<const char*, const char*> order[] = {
      {"1.10", "1.9"}, {"2", "1.99.99"}, {"1.0.1", "1.0"}, {"010", "9"}, {"1.2b", "1.2a"}};
  for (const auto& [newer, older] : order) {
    EXPECT_GT(CompareVersions(newer, older), 0) << newer << " " << older;
    EXPECT_LT(CompareVersions(older, newer), 0) << older << " " << newer;
  }
  EXPECT_EQ(CompareVersions("2", "2.0.0"), 0);
  EXPECT_EQ(CompareVersions("1.01", "1.1"), 0);

  // a disk that fills up all the same is said to be full, and nothing stays
  before_first_ = State();
  faults_.write_limit = 200;
  EXPECT_FALSE(Install(v2_));
  EXPECT_EQ(status_, DiskFullMessage(u"C:\\apps\\Demo\\a.bin"));
  EXPECT_EQ(State(), before_first_);

  faults_ = {};
  ASSERT_TRUE(Install(v2_));
  const std::string v2 = State();
  faults_ = {};
  EXPECT_FALSE(Install(v1_));  // 1.9 over 1.10
  EXPECT_TRUE(downgrade_);
  EXPECT_EQ(Utf16ToUtf8(status_),
            "Demo App 1.10 is installed, which is newer than this setup's version 1.9. Setup "
            "changed nothing. To install the older version, uninstall the newer one first or "
            "start setup with /ALLOWDOWNGRADE.");
  EXPECT_EQ(faults_.count, 0);
  EXPECT_EQ(State(), v2);
  EXPECT_TRUE(Install(v2_));  // the same version: a repair
  EXPECT_EQ(State(), v2);
  EXPECT_TRUE(Install(v1_, true));
  EXPECT_FALSE(downgrade_);
  EXPECT_EQ(testing::ReadFileBytes(Dest("a.bin")), testing::RandomBytes(208, 1));

  // too little space: refused with both numbers, nothing changed
  const std::string v1 = State();
  world_.free = 4096;
  faults_ = {};
  EXPECT_FALSE(Install(v2_));
  EXPECT_EQ(faults_.count, 0);
  EXPECT_NE(status_.find(u"There is not enough space on"), std::u16string::npos);
  EXPECT_NE(status_.find(u"0.0 MB are free"), std::u16string::npos);
  EXPECT_EQ(State(), v1);
}

TEST_F(TransactionTest, AFileInUseIsReplacedAtTheNextStart) {
  ASSERT_TRUE(Install(v1_));
  faults_.locked = u"C:\\apps\\Demo\\data\\b.bin";
  bool restart = false;
  {
    InstallRun run(v2_.config, faultfs_, world_, world_);
    run.SkipCosmeticPauses();
    ASSERT_TRUE(run.OpenPackage(pack::PackagePath(v2_.path), v2_.end));
    run.destfolder = dest_;
    run.RunInstall();
    EXPECT_FALSE(run.failed());
    restart = run.restart();
  }
  EXPECT_TRUE(restart);  // exit code 3010
  // v1's file stays until the restart, v2's waits beside it; every other file is v2's
  EXPECT_EQ(testing::ReadFileBytes(Dest("data/b.bin")), testing::RandomBytes(224, 3));
  EXPECT_EQ(testing::ReadFileBytes(Dest("a.bin")), testing::RandomBytes(288, 11));
  ASSERT_EQ(world_.replaceatrestart.size(), 1u);
  EXPECT_EQ(world_.replaceatrestart[0].second, faults_.locked);
  faults_ = {};
  Restart();
  EXPECT_EQ(testing::ReadFileBytes(Dest("data/b.bin")), testing::RandomBytes(304, 13));
  EXPECT_EQ(Leftovers(), 0);
}

TEST_F(TransactionTest, JournalReadsUpToItsFirstDamagedEntry) {
  std::vector<std::uint8_t> bytes = {'K', 'T', 'J', '1'};
  JournalEntry a;
  a.kind = JournalKind::kKeySaved;
  a.name = "Software\\X";
  a.key.existed = true;
  a.key.values.push_back({u"v", 1, {1, 2, 3}});
  JournalEntry b;
  b.kind = JournalKind::kFileMoved;
  b.path = u"C:\\a";
  b.other = u"C:\\a.~ks1";
  EncodeJournalEntry(a, bytes);
  const std::size_t second = bytes.size();
  EncodeJournalEntry(b, bytes);
  std::vector<JournalEntry> out;
  ASSERT_TRUE(DecodeJournal(bytes.data(), bytes.size(), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].key.values[0].data, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(out[1].other, u"C:\\a.~ks1");
  // every cut and every flipped byte of the second entry leaves the first whole and alone
  for (std::size_t at = second; at < bytes.size(); ++at) {
    ASSERT_TRUE(DecodeJournal(bytes.data(), at, out));
    EXPECT_EQ(out.size(), 1u) << at;
    auto damaged = bytes;
    damaged[at] ^= 0x40;
    ASSERT_TRUE(DecodeJournal(damaged.data(), damaged.size(), out));
    EXPECT_EQ(out.size(), 1u) << at;
  }
  EXPECT_FALSE(DecodeJournal(bytes.data(), 3, out));
}

}  // namespace
}  // namespace kestrel
