#include "installengine/installrecord.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "package/extension.h"
#include "sysutil/pathrules.h"
#include "sysutil/winname.h"

namespace kestrel {
namespace {

constexpr char kMagic[4] = {'K', 'I', 'R', '1'};

class Writer {
 public:
  void Le(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Units(std::u16string_view s) {
    for (char16_t c : s) Le(c, 2);
  }
  void Bytes(std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }
  // A text inside an entry that holds more than one: its length first.
  void ShortBytes(std::string_view s) {
    Le(s.size(), 2);
    Bytes(s);
  }
  void ShortUnits(std::u16string_view s) {
    Le(s.size(), 2);
    Units(s);
  }
  // Starts an entry; End fills in its length.
  std::size_t Begin(RecordTag tag) {
    Le(static_cast<std::uint8_t>(tag), 5);
    return out.size();
  }
  void End(std::size_t start) {
    StoreLe32(out.data() + start - 4, static_cast<std::uint32_t>(out.size() - start));
  }
  std::vector<std::uint8_t> out;
};

class Reader {
 public:
  Reader(const std::uint8_t* at, std::size_t size) : at_(at), end_(at + size) {}
  // The next n bytes, or null (and nothing taken) when fewer are left.
  const std::uint8_t* Take(std::size_t n) {
    if (n > left()) return nullptr;
    const std::uint8_t* p = at_;
    at_ += n;
    return p;
  }
  // A little-endian number of `bytes` bytes.
  bool Le(std::uint64_t& v, int bytes) {
    const std::uint8_t* p = Take(static_cast<std::size_t>(bytes));
    v = 0;
    for (int i = bytes; p && i-- > 0;) v = v << 8 | p[i];
    return p != nullptr;
  }
  template <typename T>
  bool Num(T& v) {
    std::uint64_t n = 0;
    const bool ok = Le(n, sizeof(T));
    v = static_cast<T>(n);
    return ok;
  }
  bool Units(std::size_t n, std::u16string& s) {
    const std::uint8_t* p = n <= left() / 2 ? Take(2 * n) : nullptr;
    if (!p) return false;
    s.resize(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    return true;
  }
  bool Bytes(std::size_t n, std::string& s) {
    const std::uint8_t* p = Take(n);
    if (p) s.assign(reinterpret_cast<const char*>(p), n);
    return p != nullptr;
  }
  bool ShortBytes(std::string& s) {
    std::uint64_t n = 0;
    return Le(n, 2) && Bytes(n, s);
  }
  bool ShortUnits(std::u16string& s) {
    std::uint64_t n = 0;
    return Le(n, 2) && Units(n, s);
  }
  // The rest as UTF-16: an even count of bytes.
  bool RestUnits(std::u16string& s) { return left() % 2 == 0 && Units(left() / 2, s); }
  bool RestBytes(std::string& s) { return Bytes(left(), s); }
  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

 private:
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// Every component from `start` on a name Windows creates as written.
bool PlainComponents(std::u16string_view path, std::size_t start) {
  if (start >= path.size()) return false;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (CheckNameComponent(path.substr(start, end - start)) != NameFault::kNone) return false;
    start = end + 1;
  }
  return true;
}

bool ValidRoot(std::uint8_t v) {
  return v <= static_cast<std::uint8_t>(RegRoot::kClassesRoot);
}

// A key path a product may own: no empty component, no "." or ".." one.
bool ValidKey(std::string_view key) {
  if (key.empty() || key.find('\0') != key.npos) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = key.find('\\', start);
    const auto part = key.substr(start, end == key.npos ? key.npos : end - start);
    if (part.empty() || part.find_first_not_of(". ") == part.npos) return false;
    if (end == key.npos) return true;
    start = end + 1;
  }
}

bool ValidName(std::string_view s) {
  return !s.empty() && s.find('\0') == s.npos;
}

bool DecodeEntry(RecordTag tag, Reader& r, InstallRecord& rec, bool& haveproduct) {
  switch (tag) {
    case RecordTag::kProduct: {
      std::uint8_t root = 0;
      if (haveproduct || !r.Num(root) || !ValidRoot(root)) return false;
      rec.root = static_cast<RegRoot>(root);
      haveproduct = true;
      return r.ShortBytes(rec.identity) && r.ShortBytes(rec.displayname) &&
             r.ShortBytes(rec.exename) && r.ShortBytes(rec.version) &&
             r.ShortUnits(rec.installfolder) && r.left() == 0 && ValidName(rec.identity) &&
             IsRecordedFullPath(rec.installfolder);
    }
    case RecordTag::kFile: {
      RecordedFile f;
      if (!r.Num(f.size) || !r.Num(f.crc) || !r.Num(f.flags) || !r.RestUnits(f.path)) return false;
      if (!IsRecordedSubpath(f.path)) return false;
      rec.files.push_back(std::move(f));
      return true;
    }
    case RecordTag::kFolder: {
      std::uint8_t flags = 0;
      std::u16string path;
      if (!r.Num(flags) || !r.RestUnits(path) || !IsRecordedFullPath(path)) return false;
      rec.folders.push_back(std::move(path));
      return true;
    }
    case RecordTag::kUninstaller:
      return rec.uninstaller.empty() && r.RestUnits(rec.uninstaller) &&
             IsRecordedSubpath(rec.uninstaller);
    case RecordTag::kShortcut: {
      std::u16string path;
      if (!r.RestUnits(path) || !IsRecordedFullPath(path)) return false;
      rec.shortcuts.push_back(std::move(path));
      return true;
    }
    case RecordTag::kKey: {
      std::uint8_t root = 0;
      std::string key;
      if (!r.Num(root) || !ValidRoot(root) || !r.RestBytes(key) || !ValidKey(key)) return false;
      rec.keys.emplace_back(static_cast<RegRoot>(root), std::move(key));
      return true;
    }
    case RecordTag::kService: {
      std::string name;
      if (!r.RestBytes(name) || !ValidName(name)) return false;
      rec.services.push_back(std::move(name));
      return true;
    }
    case RecordTag::kAssociation:
      return rec.assocext.empty() && r.ShortBytes(rec.assocext) && r.ShortBytes(rec.assocclass) &&
             r.left() == 0 && ValidName(rec.assocext) && ValidName(rec.assocclass);
    case RecordTag::kSettings:
      return r.ShortBytes(rec.appdatafolder) && r.ShortUnits(rec.programgroup) && r.left() == 0;
    case RecordTag::kLanguage:
      // the table is checked where it is applied: a record that reads whole still uninstalls
      return rec.language.empty() && r.RestBytes(rec.language);
  }
  return true;  // a tag of a later version: skipped whole
}

// The folder guard's folding: the paths compare as the file system compares them.
std::u16string Folded(std::u16string_view path) {
  return FoldPath(path);
}

}  // namespace

bool IsRecordedSubpath(std::u16string_view path) {
  return !path.empty() && path[0] == u'\\' && PlainComponents(path, 1);
}

bool IsRecordedFullPath(std::u16string_view path) {
  if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') {
    const char16_t d = path[0];
    if (!((d >= u'A' && d <= u'Z') || (d >= u'a' && d <= u'z'))) return false;
    return path.size() == 3 || PlainComponents(path, 3);
  }
  // "\\server\share\...": the "\\?\" and "\\.\" forms are not plain paths
  if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\') {
    if (path[2] == u'?' || path[2] == u'.') return false;
    return PlainComponents(path, 2);
  }
  return false;
}

std::u16string InstallRecord::FullPath(const std::u16string& below) const {
  std::u16string folder = installfolder;
  if (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  return folder + below;
}

std::vector<std::uint8_t> EncodeInstallRecord(const InstallRecord& rec) {
  Writer w;
  w.Bytes(std::string_view(kMagic, 4));
  w.Le(kRecordVersion, 8);  // the version, 0, and the payload's length, filled in below
  std::size_t e = w.Begin(RecordTag::kProduct);
  w.Le(static_cast<std::uint8_t>(rec.root), 1);
  w.ShortBytes(rec.identity);
  w.ShortBytes(rec.displayname);
  w.ShortBytes(rec.exename);
  w.ShortBytes(rec.version);
  w.ShortUnits(rec.installfolder);
  w.End(e);
  for (const RecordedFile& f : rec.files) {
    e = w.Begin(RecordTag::kFile);
    w.Le(f.size, 8);
    w.Le(f.crc, 4);
    w.Le(f.flags, 1);
    w.Units(f.path);
    w.End(e);
  }
  for (const auto& folder : rec.folders) {
    e = w.Begin(RecordTag::kFolder);
    w.Le(0, 1);
    w.Units(folder);
    w.End(e);
  }
  if (!rec.uninstaller.empty()) {
    e = w.Begin(RecordTag::kUninstaller);
    w.Units(rec.uninstaller);
    w.End(e);
  }
  for (const auto& link : rec.shortcuts) {
    e = w.Begin(RecordTag::kShortcut);
    w.Units(link);
    w.End(e);
  }
  for (const auto& [root, key] : rec.keys) {
    e = w.Begin(RecordTag::kKey);
    w.Le(static_cast<std::uint8_t>(root), 1);
    w.Bytes(key);
    w.End(e);
  }
  for (const auto& name : rec.services) {
    e = w.Begin(RecordTag::kService);
    w.Bytes(name);
    w.End(e);
  }
  if (!rec.assocext.empty()) {
    e = w.Begin(RecordTag::kAssociation);
    w.ShortBytes(rec.assocext);
    w.ShortBytes(rec.assocclass);
    w.End(e);
  }
  if (!rec.appdatafolder.empty() || !rec.programgroup.empty()) {
    e = w.Begin(RecordTag::kSettings);
    w.ShortBytes(rec.appdatafolder);
    w.ShortUnits(rec.programgroup);
    w.End(e);
  }
  if (!rec.language.empty()) {
    e = w.Begin(RecordTag::kLanguage);
    w.Bytes(rec.language);
    w.End(e);
  }
  const auto payload = static_cast<std::uint32_t>(w.out.size() - kRecordHeaderSize);
  StoreLe32(w.out.data() + 8, payload);
  w.Le(Crc32(w.out.data(), w.out.size()), 4);
  return std::move(w.out);
}

bool DecodeInstallRecord(std::span<const std::uint8_t> bytes, InstallRecord& rec) {
  if (bytes.size() < kRecordHeaderSize + 4 || bytes.size() > kMaxRecordBytes) return false;
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) return false;
  if ((bytes[4] | bytes[5] << 8) != kRecordVersion || bytes[6] != 0 || bytes[7] != 0) return false;
  const std::uint32_t length = LoadLe32(bytes.data() + 8);
  if (length != bytes.size() - kRecordHeaderSize - 4) return false;
  if (Crc32(bytes.data(), bytes.size() - 4) != LoadLe32(bytes.data() + bytes.size() - 4))
    return false;

  bool haveproduct = false;
  Reader r(bytes.data() + kRecordHeaderSize, length);
  while (r.left() > 0) {
    std::uint8_t tag = 0;
    std::uint32_t n = 0;
    const std::uint8_t* body = nullptr;
    if (!r.Num(tag) || !r.Num(n) || !(body = r.Take(n))) return false;
    Reader entry(body, n);
    if (!DecodeEntry(static_cast<RecordTag>(tag), entry, rec, haveproduct)) return false;
  }
  // without the product nothing says whose record this is
  return haveproduct;
}

bool LoadInstallRecord(FileSystem& fs, const std::u16string& path, const std::string& identity,
                       InstallRecord& out) {
  auto file = fs.NewFile();
  if (path.empty() || !file->OpenRead(path)) return false;
  const std::int64_t size = file->Size();
  if (size <= 0 || size > static_cast<std::int64_t>(kMaxRecordBytes)) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::uint32_t n = static_cast<std::uint32_t>(size);
  file->Read(bytes.data(), n);
  return n == bytes.size() && DecodeInstallRecord(bytes, out) && out.identity == identity;
}

std::string RecordedLanguage(FileSystem& fs, const std::u16string& path,
                             const std::string& identity) {
  InstallRecord record;
  return LoadInstallRecord(fs, path, identity, record) ? std::move(record.language) : std::string();
}

void SortDeepestFirst(std::vector<std::u16string>& folders) {
  auto depth = [](const std::u16string& f) { return std::count(f.begin(), f.end(), u'\\'); };
  std::vector<std::u16string> out;
  std::vector<std::u16string> seen;
  std::ptrdiff_t deepest = 0;
  for (const auto& f : folders) deepest = std::max(deepest, depth(f));
  // by depth, as the folders came within one depth: a handful of depths, no sort needed; a
  // folder taken is left empty, and an empty one is none
  for (std::ptrdiff_t d = deepest; d > 0; --d) {
    seen.clear();  // two spellings of one folder have the same depth
    for (auto& f : folders) {
      if (f.empty() || depth(f) != d) continue;
      std::u16string folded = Folded(f);
      if (std::find(seen.begin(), seen.end(), folded) != seen.end()) continue;
      seen.push_back(std::move(folded));
      out.push_back(std::move(f));
    }
  }
  folders = std::move(out);
}

void InheritEarlierRecord(InstallRecord& record, const InstallRecord& earlier) {
  std::vector<std::u16string> folders = earlier.folders;
  folders.insert(folders.end(), record.folders.begin(), record.folders.end());
  record.folders.clear();
  for (auto& f : folders) {
    const std::u16string folded = Folded(f);
    if (std::none_of(record.folders.begin(), record.folders.end(),
                     [&](const std::u16string& g) { return Folded(g) == folded; })) {
      record.folders.push_back(std::move(f));
    }
  }
  if (Folded(record.installfolder) != Folded(earlier.installfolder)) return;
  // the files written now, by a 64-bit hash of their folded path: a collision would only leave an
  // earlier file out of the record, which narrows what the uninstall removes
  auto hash = [](const std::u16string& path) {
    std::uint64_t h = 14695981039346656037ull;
    for (char16_t c : Folded(path)) h = (h ^ c) * 1099511628211ull;
    return h;
  };
  std::vector<std::uint64_t> written;
  written.reserve(record.files.size() + 1);
  for (const auto& f : record.files) written.push_back(hash(f.path));
  written.push_back(hash(record.uninstaller));
  // the C library's sort: one routine for any element type, where std::sort is made anew
  auto order = [](const void* a, const void* b) {
    const auto x = *static_cast<const std::uint64_t*>(a), y = *static_cast<const std::uint64_t*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  };
  std::qsort(written.data(), written.size(), sizeof written[0], order);
  for (const auto& f : earlier.files) {
    const std::uint64_t h = hash(f.path);
    if (!std::bsearch(&h, written.data(), written.size(), sizeof h, order))
      record.files.push_back(f);
  }
}

}  // namespace kestrel
