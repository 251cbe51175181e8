#include "installengine/transaction.h"

#include <algorithm>
#include <cstdlib>

#include "package/extension.h"
#include "package/identity.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/pathrules.h"

namespace kestrel {

namespace {

constexpr std::uint8_t kJournalMagic[4] = {'K', 'T', 'J', '1'};
// A journal larger than this is not read: a few hundred thousand changes.
constexpr std::int64_t kMaxJournalBytes = std::int64_t{256} << 20;
constexpr std::uint32_t kNormalAttributes = 0x80;

void Set32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  Set32(b.data() + b.size() - 4, v);
}
void PutBytes(std::vector<std::uint8_t>& b, const void* p, std::size_t n) {
  Put32(b, static_cast<std::uint32_t>(n));
  const auto* bytes = static_cast<const std::uint8_t*>(p);
  b.insert(b.end(), bytes, bytes + n);
}
// The UTF-16 units' count, then each unit, low byte first.
void PutWide(std::vector<std::uint8_t>& b, const std::u16string& s) {
  Put32(b, static_cast<std::uint32_t>(s.size()));
  for (char16_t c : s) {
    const std::uint8_t unit[2] = {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)};
    b.insert(b.end(), unit, unit + 2);
  }
}

// Reads an entry's fields; every read past the end fails the whole entry.
struct Reader {
  const std::uint8_t* p;
  std::size_t left;
  bool ok = true;
  std::uint32_t U32() {
    if (left < 4) return ok = false, 0;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{p[i]} << (8 * i);
    p += 4, left -= 4;
    return v;
  }
  std::uint8_t U8() {
    if (left < 1) return ok = false, 0;
    --left;
    return *p++;
  }
  void Wide(std::u16string& s) {
    const std::uint32_t n = U32();
    if (!ok || n > left / 2) return void(ok = false);
    s.resize(n);
    for (std::uint32_t i = 0; i < n; ++i)
      s[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    p += 2 * n, left -= 2 * n;
  }
  // Appends the next field's bytes to `out`.
  template <class Bytes>
  void Append(Bytes& out) {
    const std::uint32_t n = U32();
    if (!ok || n > left) return void(ok = false);
    out.insert(out.end(), p, p + n);
    p += n, left -= n;
  }
};

int ComparePlanned(const void* a, const void* b) {
  using P = const Transaction::Planned* const*;
  return (*static_cast<P>(a))->key.compare((*static_cast<P>(b))->key);
}

std::u16string FoldedFolder(const std::u16string& path) {
  return FoldPath(StripTrailingBackslash(path));
}

bool IsFile(FileSystem& fs, const std::u16string& path) {
  bool folder = false;
  return fs.FindEntry(path, folder) && !folder;
}

// Deletes a file, once more after clearing a read-only bit.
bool RemoveFileHard(FileSystem& fs, const std::u16string& path) {
  return fs.RemoveFile(path) ||
         (fs.ApplyAttributes(path, kNormalAttributes) && fs.RemoveFile(path));
}

void RemoveJournal(FileSystem& fs, InstallSystem& sys, const std::u16string& path, RegRoot root,
                   const std::string& identity) {
  // a journal that stays is still named, so the next run removes it (undoing is idempotent)
  if (!path.empty() && IsFile(fs, path) && !fs.RemoveFile(path)) return;
  const std::string key = kJournalKey;
  sys.RemoveValue(root, key, identity);
  sys.RemoveEmptyKey(root, key);
  sys.RemoveEmptyKey(root, "Software\\Kestrel");
}

}  // namespace

void EncodeJournalEntry(const JournalEntry& e, std::vector<std::uint8_t>& out) {
  // the body's length first (set once it is known), then the body and its CRC-32
  const std::size_t start = out.size();
  Put32(out, 0);
  out.push_back(static_cast<std::uint8_t>(e.kind));
  PutWide(out, e.path);
  PutWide(out, e.other);
  PutBytes(out, e.name.data(), e.name.size());
  out.push_back(static_cast<std::uint8_t>(e.root));
  out.push_back(e.key.existed ? 1 : 0);
  Put32(out, static_cast<std::uint32_t>(e.key.values.size()));
  for (const SavedValue& v : e.key.values) {
    PutWide(out, v.name);
    Put32(out, v.type);
    PutBytes(out, v.data.data(), v.data.size());
  }
  const std::size_t n = out.size() - start - 4;
  Set32(out.data() + start, static_cast<std::uint32_t>(n));
  Put32(out, Crc32(out.data() + start + 4, n));
}

bool DecodeJournal(const std::uint8_t* bytes, std::size_t size, std::vector<JournalEntry>& out) {
  out.clear();
  if (size < sizeof kJournalMagic || !std::equal(kJournalMagic, kJournalMagic + 4, bytes))
    return false;
  Reader file{bytes + 4, size - 4};
  while (file.left >= 4) {
    const std::uint32_t n = file.U32();
    if (n == 0 || n > file.left || file.left - n < 4) break;
    const std::uint8_t* body = file.p;
    file.p += n, file.left -= n;
    if (file.U32() != Crc32(body, n)) break;
    Reader r{body, n};
    JournalEntry& e = out.emplace_back();
    const std::uint8_t kind = r.U8();
    e.kind = static_cast<JournalKind>(kind);
    r.Wide(e.path);
    r.Wide(e.other);
    r.Append(e.name);
    const std::uint8_t root = r.U8();
    e.root = static_cast<RegRoot>(root);
    e.key.existed = r.U8() != 0;
    const std::uint32_t count = r.U32();
    for (std::uint32_t i = 0; r.ok && i < count; ++i) {
      SavedValue& v = e.key.values.emplace_back();
      r.Wide(v.name);
      v.type = r.U32();
      r.Append(v.data);
    }
    if (!r.ok || r.left != 0 || kind < 1 || kind > 9 || root > 2) {
      out.pop_back();
      break;
    }
  }
  return true;
}

std::u16string JournalName(const std::string& identity) {
  return u"Setup " + UninstallerTag(identity) + u".journal";
}

std::u16string JournalFolder(FileSystem& fs, const std::u16string& destfolder) {
  std::u16string f = StripTrailingBackslash(destfolder);
  for (int depth = 0; !f.empty() && depth < 256; ++depth) {
    if (FolderExists(fs, f)) return f;
    const std::u16string up = StripTrailingBackslash(FolderPart(f));
    if (up.size() >= f.size()) break;
    f = up;
  }
  return {};
}

// ---- the decorators ----

class Transaction::Files final : public ForwardingFileSystem {
 public:
  explicit Files(Transaction& t) : ForwardingFileSystem(t.fs_), t_(t) {}

  class File final : public PackageFile {
   public:
    File(Transaction& t, std::unique_ptr<PackageFile> f) : t_(t), f_(std::move(f)) {}
    bool OpenRead(const std::u16string& path) override { return f_->OpenRead(path); }
    bool CreateWrite(const std::u16string& path) override {
      std::u16string actual = path;
      return t_.BeforeCreate(path, &actual) && f_->CreateWrite(actual);
    }
    std::uint32_t Read(void* buffer, std::uint32_t& n) override { return f_->Read(buffer, n); }
    bool Write(const void* buffer, std::uint32_t n) override { return f_->Write(buffer, n); }
    void Close() override { f_->Close(); }
    bool Flush() override { return f_->Flush(); }
    bool IsOpen() const override { return f_->IsOpen(); }
    std::int64_t Size() override { return f_->Size(); }
    std::int64_t Position() override { return f_->Position(); }
    bool Seek(std::int64_t position) override { return f_->Seek(position); }
    bool Attributes(std::uint32_t& a) override { return f_->Attributes(a); }

   private:
    Transaction& t_;
    std::unique_ptr<PackageFile> f_;
  };

  std::unique_ptr<PackageFile> NewFile() override {
    return std::make_unique<File>(t_, t_.fs_.NewFile());
  }
  bool CreateFolder(const std::u16string& p) override {
    if (t_.active_) {
      bool folder = false;
      if (t_.fs_.FindEntry(p, folder)) return false;  // there already: not ours to note
      if (!t_.Note(JournalKind::kFolderCreated, false, p)) return false;
      t_.folders_.Add(FoldedFolder(p));
    }
    return t_.fs_.CreateFolder(p);
  }
  bool RemoveFile(const std::u16string& p) override {
    if (!t_.active_ || t_.created_.Remove(FoldPath(p)) || !IsFile(t_.fs_, p))
      return t_.fs_.RemoveFile(p);
    return t_.MoveAside(p);  // kept until the commit
  }
  bool RemoveFolder(const std::u16string& p) override {
    if (t_.active_ && !t_.folders_.Has(FoldedFolder(p)) &&
        !t_.Note(JournalKind::kFolderRemoved, false, p)) {
      return false;
    }
    return t_.fs_.RemoveFolder(p);
  }
  bool MoveReplacing(const std::u16string& from, const std::u16string& to) override {
    if (t_.active_) {
      t_.created_.Remove(FoldPath(from));
      if (!t_.BeforeCreate(to)) return false;
    }
    return t_.fs_.MoveReplacing(from, to);
  }

 private:
  Transaction& t_;
};

class Transaction::System final : public InstallSystem {
 public:
  explicit System(Transaction& t) : t_(t), s_(t.sys_) {}

  bool UseWideApi() override { return s_.UseWideApi(); }
  bool CloseRunningWindow(const std::string& pattern) override {
    return s_.CloseRunningWindow(pattern);
  }
  std::string ReadMachineString(const std::string& key, const std::string& value) override {
    return s_.ReadMachineString(key, value);
  }
  std::u16string ReadWideString(RegRoot root, const std::string& key,
                                const std::string& value) override {
    return s_.ReadWideString(root, key, value);
  }
  std::u16string ServiceProgram(const std::string& name) override {
    return s_.ServiceProgram(name);
  }
  bool ServiceRunning(const std::string& name) override { return s_.ServiceRunning(name); }
  bool ServiceStop(const std::string& name) override {
    return t_.NoteService(JournalKind::kServiceStopped, name) && s_.ServiceStop(name);
  }
  bool ServiceDelete(const std::string& name) override {
    return t_.NoteService(JournalKind::kServiceRemoved, name) && s_.ServiceDelete(name);
  }
  std::u16string LastErrorText() override { return s_.LastErrorText(); }
  bool LastErrorIsDiskFull() override { return s_.LastErrorIsDiskFull(); }
  std::u16string ErrorText(unsigned long code) override { return s_.ErrorText(code); }

  bool ServiceCreate(const std::string& name, const std::u16string& programpath) override {
    return t_.NoteService(JournalKind::kServiceCreated, name) &&
           s_.ServiceCreate(name, programpath);
  }
  bool ServiceStart(const std::string& name) override { return s_.ServiceStart(name); }

  std::vector<unsigned long> WriteRegistryRows(const std::vector<RegistryRow>& rows) override {
    if (!t_.active_) return s_.WriteRegistryRows(rows);
    // every row's key saved first, the notes written at once; a row whose key could not be
    // saved is not written (each row is written on its own: the rows of a list are independent)
    std::vector<unsigned long> out(rows.size(), 1359);  // an internal error
    std::vector<bool> saved(rows.size());
    bool durable = false;
    for (std::size_t i = 0; i < rows.size(); ++i)
      saved[i] = t_.SaveKeyOnce(rows[i].root, rows[i].key, durable);
    if (!t_.Sync(durable)) return out;
    std::vector<RegistryRow> one(1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (!saved[i]) continue;
      one[0] = rows[i];
      const std::vector<unsigned long> r = s_.WriteRegistryRows(one);
      if (!r.empty()) out[i] = r[0];
    }
    return out;
  }
  std::vector<unsigned long> CreateShortcuts(const ShortcutPlan& plan) override {
    if (t_.active_) {
      CreateFolderChain(t_.files(), plan.groupfolder);
      bool noted = true;
      for (const ShortcutRow& r : plan.grouprows) noted = noted && t_.BeforeCreate(r.linkfile);
      noted = noted && t_.BeforeCreate(plan.desktop.linkfile);
      if (!noted) return std::vector<unsigned long>(plan.grouprows.size() + 1, 1359);
    }
    return s_.CreateShortcuts(plan);
  }
  bool RemoveKey(RegRoot root, const std::string& key) override {
    bool durable = false;
    return (!t_.active_ || (t_.SaveKeyOnce(root, key, durable) && t_.Sync(durable))) &&
           s_.RemoveKey(root, key);
  }
  bool SaveKey(RegRoot root, const std::string& key, SavedKey& out) override {
    return s_.SaveKey(root, key, out);
  }
  bool RestoreKey(RegRoot root, const std::string& key, const SavedKey& saved) override {
    return s_.RestoreKey(root, key, saved);
  }
  bool RemoveValue(RegRoot root, const std::string& key, const std::string& name) override {
    return s_.RemoveValue(root, key, name);
  }
  bool RemoveEmptyKey(RegRoot root, const std::string& key) override {
    return s_.RemoveEmptyKey(root, key);
  }
  bool DeleteAtRestart(const std::u16string& path) override { return s_.DeleteAtRestart(path); }
  bool ReplaceAtRestart(const std::u16string& from, const std::u16string& to) override {
    return s_.ReplaceAtRestart(from, to);
  }
  bool FreeSpace(const std::u16string& folder, std::uint64_t& bytes) override {
    return s_.FreeSpace(folder, bytes);
  }
  unsigned long AppsUsing(const std::vector<std::u16string>& files,
                          std::vector<std::u16string>& apps) override {
    return s_.AppsUsing(files, apps);
  }
  unsigned long CloseApps() override { return s_.CloseApps(); }
  unsigned long RestartApps() override { return s_.RestartApps(); }
  std::u16string WindowsFolder() override { return s_.WindowsFolder(); }
  std::u16string DesktopFolder() override { return s_.DesktopFolder(); }
  std::u16string ProgramsFolder() override { return s_.ProgramsFolder(); }
  std::u16string StartMenuFolder() override { return s_.StartMenuFolder(); }
  std::string InstallDate() override { return s_.InstallDate(); }

 private:
  Transaction& t_;
  InstallSystem& s_;
};

// ---- the transaction ----

// Where `folded` is, or where it would go; `found` says which.
std::size_t Transaction::Names::At(const std::u16string& folded, bool& found) const {
  const auto at = std::lower_bound(v.begin(), v.end(), folded);
  found = at != v.end() && *at == folded;
  return static_cast<std::size_t>(at - v.begin());
}
bool Transaction::Names::Has(const std::u16string& folded) const {
  bool found = false;
  At(folded, found);
  return found;
}
bool Transaction::Names::HasOrAbove(const std::u16string& folded) const {
  for (std::size_t end = folded.size(); end != 0 && end != std::u16string::npos;
       end = folded.rfind(u'\\', end - 1)) {
    if (Has(folded.substr(0, end))) return true;
  }
  return false;
}
void Transaction::Names::Add(std::u16string folded) {
  bool found = false;
  const std::size_t at = At(folded, found);
  if (!found) v.insert(v.begin() + at, std::move(folded));
}
bool Transaction::Names::Remove(const std::u16string& folded) {
  bool found = false;
  const std::size_t at = At(folded, found);
  if (found) v.erase(v.begin() + at);
  return found;
}

Transaction::Transaction(FileSystem& fs, InstallSystem& sys)
    : fs_(fs),
      sys_(sys),
      files_(std::make_unique<Files>(*this)),
      system_(std::make_unique<System>(*this)) {}

Transaction::~Transaction() = default;

FileSystem& Transaction::files() {
  return *files_;
}
InstallSystem& Transaction::system() {
  return *system_;
}

bool Transaction::Begin(const std::u16string& journalpath, RegRoot root,
                        const std::string& identity) {
  root_ = root;
  identity_ = identity;
  journalpath_ = journalpath;
  // the value first: a journal no value names would never be found
  std::vector<RegistryRow> rows(1);  // made in place: a row copied in costs a copy of each text
  RegistryRow& row = rows[0];
  row.root = root;
  row.key = kJournalKey;
  row.name = identity;
  row.type = RegType::kWideString;
  row.wide = journalpath;
  const auto written = sys_.WriteRegistryRows(rows);
  const bool named = !written.empty() && written[0] == 0;
  if (named) {
    journal_ = fs_.NewFile();
    active_ = journal_->CreateWrite(journalpath) && journal_->Write(kJournalMagic, 4) &&
              journal_->Flush();
    if (!active_) journal_->Close();
  }
  if (!active_) {
    RemoveJournal(fs_, sys_, named ? journalpath : std::u16string(), root, identity);
    return false;
  }
  LogLine(log_, "transaction begun, journal: ", journalpath);
  return true;
}

bool Transaction::Note(JournalKind kind, bool durable, const std::u16string& path,
                       const std::u16string& other, const std::string& name, RegRoot root,
                       SavedKey* key) {
  return Stage(kind, path, other, name, root, key) && Sync(durable);
}

bool Transaction::Stage(JournalKind kind, const std::u16string& path, const std::u16string& other,
                        const std::string& name, RegRoot root, SavedKey* key) {
  if (broken_) return false;
  JournalEntry& e = entries_.emplace_back();
  e.kind = kind;
  e.path = path;
  e.other = other;
  e.name = name;
  e.root = root;
  if (key) e.key = std::move(*key);
  EncodeJournalEntry(e, pending_);
  return true;
}

bool Transaction::Sync(bool durable) {
  if (broken_) return false;
  const bool written =
      pending_.empty() ||
      journal_->Write(pending_.data(), static_cast<std::uint32_t>(pending_.size()));
  pending_.clear();
  if (!written || (durable && !journal_->Flush())) {
    // the changes the lost entries guard are never made
    entries_.resize(written ? entries_.size() : written_);
    broken_ = true;
    LogLine(log_, "the journal could not be written: no further change is made");
    return false;
  }
  written_ = entries_.size();
  return true;
}

std::u16string Transaction::FreeName(const std::u16string& path, std::u16string_view mark,
                                     const Names* files) {
  std::u16string name;
  for (unsigned n = 1;; ++n) {
    name = path;
    name += mark;
    for (unsigned d = 100000; d > 1; d /= 10) {
      if (n >= d / 10) name += static_cast<char16_t>(u'0' + n / (d / 10) % 10);
    }
    const std::u16string folded = FoldPath(name);
    if (n >= 10000 || (!(files ? files->Has(folded) : IsFile(fs_, name)) && !PlannedAt(folded)))
      return name;
  }
}

bool Transaction::MoveAside(const std::u16string& path) {
  const std::u16string backup = FreeName(path, u".~ks");
  if (!Note(JournalKind::kFileMoved, true, path, backup)) return false;
  return fs_.MoveReplacing(path, backup);
}

void Transaction::Survey(std::vector<std::u16string> paths) {
  if (planned_once_) return;  // the plan's entries point into the survey
  paths_ = std::move(paths);
  planned_.assign(paths_.size(), Planned{});
  plannedorder_.clear();
  infolders_.v.clear();
  // the paths in order of their folded names (the C library's sort: made once for any type),
  // each name once
  std::vector<Planned*> order;
  for (std::size_t i = 0; i < paths_.size(); ++i) {
    planned_[i].key = FoldPath(paths_[i]);
    order.push_back(&planned_[i]);
  }
  if (!order.empty()) std::qsort(order.data(), order.size(), sizeof order[0], ComparePlanned);
  for (Planned* p : order) {
    if (plannedorder_.empty() || plannedorder_.back()->key != p->key) plannedorder_.push_back(p);
  }
  // Each folder's files are listed once (a folder not there has none); the files of a folder
  // that could not be listed are searched one by one. A folder found missing spares the listing
  // of every folder below it (a first install into a new folder lists nothing).
  Names listed, unlisted, missing;
  for (Planned* p : plannedorder_) {
    const std::u16string& path = paths_[static_cast<std::size_t>(p - planned_.data())];
    const std::u16string folder = StripTrailingBackslash(FolderPart(path));
    std::u16string key = FoldPath(folder);
    p->listed = listed.Has(key);
    if (!p->listed && !unlisted.Has(key)) {
      std::vector<std::u16string> names;
      const bool below = missing.HasOrAbove(key);  // nothing there to list
      p->listed = below || fs_.ListFiles(folder, names);
      for (const std::u16string& name : names) infolders_.Add(FoldPath(folder + u"\\" + name));
      if (!below && p->listed && names.empty()) {
        // empty, or not there: then its chain's top folder not there is noted
        const std::u16string there = JournalFolder(fs_, folder);
        if (!there.empty() && there.size() < folder.size())
          missing.Add(FoldPath(folder.substr(0, folder.find(u'\\', there.size() + 1))));
      }
      (p->listed ? listed : unlisted).Add(std::move(key));
    }
    bool isfolder = false;
    const bool there = p->listed ? infolders_.Has(p->key) : fs_.FindEntry(path, isfolder);
    p->state = isfolder ? Planned::kInTheWay : there ? Planned::kThere : Planned::kAbsent;
  }
}

std::vector<std::u16string> Transaction::InPlace() const {
  std::vector<std::u16string> out;
  for (const Planned* p : plannedorder_) {
    if (p->state == Planned::kThere)
      out.push_back(paths_[static_cast<std::size_t>(p - planned_.data())]);
  }
  return out;
}

bool Transaction::Plan() {
  if (!active_ || planned_once_) return true;
  planned_once_ = true;
  for (Planned* p : plannedorder_) {
    if (p->state == Planned::kInTheWay) continue;  // a folder in the way: the file step fails there
    const std::u16string& path = paths_[static_cast<std::size_t>(p - planned_.data())];
    std::u16string backup;
    if (p->state == Planned::kThere) {
      backup = FreeName(path, u".~ks", p->listed ? &infolders_ : nullptr);
      if (p->listed) infolders_.Add(FoldPath(backup));  // taken by this one
    }
    Stage(p->state == Planned::kThere ? JournalKind::kFileMoved : JournalKind::kFileCreated, path,
          backup);
    p->entry = entries_.size() - 1;
  }
  return Sync(true);
}

Transaction::Planned* Transaction::PlannedAt(const std::u16string& folded) {
  if (plannedorder_.empty()) return nullptr;
  Planned probe{folded};
  const Planned* const find = &probe;
  auto* const at = static_cast<Planned* const*>(
      std::bsearch(&find, plannedorder_.data(), plannedorder_.size(), sizeof find, ComparePlanned));
  return at ? *at : nullptr;
}

bool Transaction::BeforeCreate(const std::u16string& path, std::u16string* actual) {
  if (!active_) return true;
  if (broken_) return false;
  std::u16string key = FoldPath(path);
  if (created_.Has(key)) return true;
  Planned* const at = PlannedAt(key);
  if (at && at->entry < entries_.size()) {
    // noted by the plan: moved aside (once only) without a note of its own
    const JournalEntry& e = entries_[at->entry];
    at->entry = ~std::size_t{0};
    if (e.kind == JournalKind::kFileCreated || fs_.MoveReplacing(path, e.other)) {
      created_.Add(std::move(key));
      return true;
    }
    // not even a rename is allowed (in use), or it is gone: as for a file no plan named
  }
  CreateFolderChain(files(), FolderPart(path));  // noted, unlike the file's own chain
  bool folder = false;
  const bool inuse = fs_.FindEntry(path, folder) && (folder || !MoveAside(path));
  if (inuse && (folder || !actual)) return false;
  // in use, so that not even a rename is allowed: the new file waits beside it
  const std::u16string made = inuse ? FreeName(path, u".~ksnew") : path;
  if (!Note(JournalKind::kFileCreated, false, made)) return false;
  created_.Add(inuse ? FoldPath(made) : std::move(key));
  if (inuse) {
    beside_.push_back(made);
    beside_.push_back(path);
    LogLine(log_, "in use, written beside it: ", path);
    *actual = made;
  }
  return true;
}

bool Transaction::NoteService(JournalKind kind, const std::string& name) {
  if (!active_) return true;
  // a removed service is made again from its command line: that note must reach the disk
  const bool removed = kind == JournalKind::kServiceRemoved;
  return Note(kind, removed, {}, removed ? sys_.ServiceProgram(name) : std::u16string(), name);
}

bool Transaction::SaveKeyOnce(RegRoot root, const std::string& key, bool& durable) {
  for (const auto& [r, k] : savedkeys_) {
    if (r == root && k == key) return true;
  }
  SavedKey saved;
  if (!sys_.SaveKey(root, key, saved)) return false;
  // a missing key's missing parents are noted before it, so they go after it
  const std::size_t up = key.rfind('\\');
  if (!saved.existed && up != std::string::npos && !SaveKeyOnce(root, key.substr(0, up), durable))
    return false;
  durable = durable || saved.existed;
  if (!Stage(JournalKind::kKeySaved, {}, {}, key, root, &saved)) return false;
  savedkeys_.emplace_back(root, std::string(key));
  return true;
}

void Transaction::End() {
  if (journal_) journal_->Close();
  RemoveJournal(fs_, sys_, journalpath_, root_, identity_);
  active_ = false;
}

bool Transaction::Commit() {
  if (!active_) return true;
  for (std::size_t i = 0; i < beside_.size(); i += 2) {
    const std::u16string& place = beside_[i + 1];
    if (!sys_.ReplaceAtRestart(beside_[i], place)) {
      LogLine(log_, "the replacement of a file in use could not be scheduled: ", place);
      return false;
    }
    LogLine(log_, "replaced when the system starts again: ", place);
  }
  Note(JournalKind::kCommit, true);
  FinishCommitted(fs_, sys_, entries_, log_);
  End();
  LogLine(log_, "transaction committed: ", entries_.size(), " changes");
  return true;
}

void Transaction::Rollback() {
  if (!active_) return;
  LogLine(log_, "rolling back ", entries_.size(), " changes");
  UndoJournal(fs_, sys_, entries_, log_);
  End();
  LogLine(log_, "rollback complete");
}

void UndoJournal(FileSystem& fs, InstallSystem& sys, const std::vector<JournalEntry>& entries,
                 const Log& log) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const JournalEntry& e = *it;
    switch (e.kind) {
      case JournalKind::kFileCreated:
        if (IsFile(fs, e.path) && !RemoveFileHard(fs, e.path))
          LogLine(log, "rollback: not removed: ", e.path);
        break;
      case JournalKind::kFileMoved:
        if (IsFile(fs, e.other) && !fs.MoveReplacing(e.other, e.path) &&
            !(RemoveFileHard(fs, e.path) && fs.MoveReplacing(e.other, e.path))) {
          LogLine(log, "rollback: not put back: ", e.path, " (it is kept as ", e.other, ")");
        }
        break;
      case JournalKind::kFolderCreated:  // last, once the files in it are gone
        break;
      case JournalKind::kFolderRemoved:
        if (!FolderExists(fs, e.path)) fs.CreateFolder(e.path);
        break;
      case JournalKind::kKeySaved:
        if (!sys.RestoreKey(e.root, e.name, e.key))
          LogLine(log, "rollback: key not restored: ", Ansi{e.name});
        break;
      case JournalKind::kServiceCreated:
        if (sys.ServiceRunning(e.name)) sys.ServiceStop(e.name);
        sys.ServiceDelete(e.name);
        break;
      case JournalKind::kServiceStopped:
        sys.ServiceStart(e.name);
        break;
      case JournalKind::kServiceRemoved:
        if (!e.other.empty() && !sys.ServiceCreate(e.name, ProgramOfCommand(e.other)))
          LogLine(log, "rollback: service not made again: ", Ansi{e.name});
        break;
      case JournalKind::kCommit:
        break;
    }
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->kind == JournalKind::kFolderCreated) fs.RemoveFolder(StripTrailingBackslash(it->path));
  }
}

void FinishCommitted(FileSystem& fs, InstallSystem& sys, const std::vector<JournalEntry>& entries,
                     const Log& log) {
  for (const JournalEntry& e : entries) {
    // a backup never made (a plan the run did not reach) is not there to remove
    if (e.kind != JournalKind::kFileMoved || fs.RemoveFile(e.other) || !IsFile(fs, e.other) ||
        RemoveFileHard(fs, e.other)) {
      continue;
    }
    // still in use by a program that runs: it goes when the system starts again
    const bool later = sys.DeleteAtRestart(e.other);
    LogLine(log, later ? "removed at the next restart: " : "could not be removed: ", e.other);
  }
}

Recovery RecoverTransaction(FileSystem& fs, InstallSystem& sys, RegRoot root,
                            const std::string& identity, const Log& log) {
  const std::u16string path = sys.ReadWideString(root, kJournalKey, identity);
  if (path.empty()) return Recovery::kNone;
  std::vector<JournalEntry> entries;
  auto file = fs.NewFile();
  if (!file->OpenRead(path)) {
    // died before the journal was made, or after it was removed: nothing to undo or finish
    RemoveJournal(fs, sys, {}, root, identity);
    return Recovery::kNone;
  }
  const std::int64_t size = file->Size();
  if (size > 0 && size <= kMaxJournalBytes) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t at = 0;
    while (at < bytes.size()) {
      std::uint32_t n =
          static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - at, 1u << 20));
      if (file->Read(bytes.data() + at, n) == 0) break;
      at += n;
    }
    DecodeJournal(bytes.data(), at, entries);
  }
  file->Close();
  const bool committed = !entries.empty() && entries.back().kind == JournalKind::kCommit;
  LogLine(log,
          committed ? "an interrupted installation had completed: removing what it replaced ("
                    : "an interrupted installation is rolled back (",
          entries.size(), " changes, journal ", path, ")");
  if (committed) {
    FinishCommitted(fs, sys, entries, log);
  } else {
    UndoJournal(fs, sys, entries, log);
  }
  RemoveJournal(fs, sys, path, root, identity);
  return committed ? Recovery::kCompleted : Recovery::kRolledBack;
}

}  // namespace kestrel
