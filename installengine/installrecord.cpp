#include "installengine/installrecord.h"

#include <algorithm>
#include <cstring>

#include "package/extension.h"
#include "sysutil/winname.h"

namespace kestrel {
namespace {

constexpr char kMagic[4] = {'K', 'I', 'R', '1'};

class Writer {
 public:
  void U8(std::uint8_t v) { out.push_back(v); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
  }
  void Units(std::u16string_view s) {
    for (char16_t c : s) U16(c);
  }
  void Bytes(std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }
  // A text inside an entry that holds more than one: its length first.
  void ShortBytes(std::string_view s) {
    U16(static_cast<std::uint16_t>(s.size()));
    Bytes(s);
  }
  void ShortUnits(std::u16string_view s) {
    U16(static_cast<std::uint16_t>(s.size()));
    Units(s);
  }
  // Starts an entry; End fills in its length.
  std::size_t Begin(RecordTag tag) {
    U8(static_cast<std::uint8_t>(tag));
    U32(0);
    return out.size();
  }
  void End(std::size_t start) {
    const auto n = static_cast<std::uint32_t>(out.size() - start);
    for (int i = 0; i < 4; ++i) out[start - 4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
  }
  std::vector<std::uint8_t> out;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> b) : b_(b) {}
  bool U8(std::uint8_t& v) {
    if (left() < 1) return false;
    v = b_[at_++];
    return true;
  }
  bool U16(std::uint16_t& v) {
    if (left() < 2) return false;
    v = static_cast<std::uint16_t>(b_[at_] | b_[at_ + 1] << 8);
    at_ += 2;
    return true;
  }
  bool U32(std::uint32_t& v) {
    if (left() < 4) return false;
    v = LoadLe32(b_.data() + at_);
    at_ += 4;
    return true;
  }
  bool U64(std::uint64_t& v) {
    if (left() < 8) return false;
    v = LoadLe64(b_.data() + at_);
    at_ += 8;
    return true;
  }
  bool Units(std::size_t n, std::u16string& s) {
    if (n > left() / 2) return false;
    s.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      s[i] = static_cast<char16_t>(b_[at_] | b_[at_ + 1] << 8);
      at_ += 2;
    }
    return true;
  }
  bool Bytes(std::size_t n, std::string& s) {
    if (n > left()) return false;
    s.assign(reinterpret_cast<const char*>(b_.data() + at_), n);
    at_ += n;
    return true;
  }
  bool ShortBytes(std::string& s) {
    std::uint16_t n = 0;
    return U16(n) && Bytes(n, s);
  }
  bool ShortUnits(std::u16string& s) {
    std::uint16_t n = 0;
    return U16(n) && Units(n, s);
  }
  // The rest as UTF-16: an even count of bytes.
  bool RestUnits(std::u16string& s) { return left() % 2 == 0 && Units(left() / 2, s); }
  bool RestBytes(std::string& s) { return Bytes(left(), s); }
  // The next n bytes as a reader of their own (n checked by the caller).
  std::span<const std::uint8_t> Take(std::size_t n) {
    const auto part = b_.subspan(at_, n);
    at_ += n;
    return part;
  }
  std::size_t left() const { return b_.size() - at_; }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t at_ = 0;
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
      if (haveproduct || !r.U8(root) || !ValidRoot(root)) return false;
      rec.root = static_cast<RegRoot>(root);
      haveproduct = true;
      return r.ShortBytes(rec.identity) && r.ShortBytes(rec.displayname) &&
             r.ShortBytes(rec.exename) && r.ShortBytes(rec.version) &&
             r.ShortUnits(rec.installfolder) && r.left() == 0 && ValidName(rec.identity) &&
             IsRecordedFullPath(rec.installfolder);
    }
    case RecordTag::kFile: {
      RecordedFile f;
      if (!r.U64(f.size) || !r.U32(f.crc) || !r.U8(f.flags) || !r.RestUnits(f.path)) return false;
      if (!IsRecordedSubpath(f.path)) return false;
      rec.files.push_back(std::move(f));
      return true;
    }
    case RecordTag::kFolder: {
      std::uint8_t flags = 0;
      std::u16string path;
      if (!r.U8(flags) || !r.RestUnits(path) || !IsRecordedFullPath(path)) return false;
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
      if (!r.U8(root) || !ValidRoot(root) || !r.RestBytes(key) || !ValidKey(key)) return false;
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
  }
  return true;  // a tag of a later version: skipped whole
}

std::u16string Folded(std::u16string_view path) {
  std::u16string f = UpcaseName(path);
  for (auto& c : f) {
    if (c == u'/') c = u'\\';
  }
  return f;
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

InstallRecord::InstallRecord() = default;
InstallRecord::~InstallRecord() = default;
InstallRecord::InstallRecord(const InstallRecord&) = default;
InstallRecord::InstallRecord(InstallRecord&&) noexcept = default;
InstallRecord& InstallRecord::operator=(const InstallRecord&) = default;
InstallRecord& InstallRecord::operator=(InstallRecord&&) noexcept = default;

std::u16string InstallRecord::FullPath(const std::u16string& below) const {
  std::u16string folder = installfolder;
  if (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  return folder + below;
}

std::vector<std::uint8_t> EncodeInstallRecord(const InstallRecord& rec) {
  Writer w;
  w.Bytes(std::string_view(kMagic, 4));
  w.U16(kRecordVersion);
  w.U16(0);
  w.U32(0);  // the payload's length, filled in below
  std::size_t e = w.Begin(RecordTag::kProduct);
  w.U8(static_cast<std::uint8_t>(rec.root));
  w.ShortBytes(rec.identity);
  w.ShortBytes(rec.displayname);
  w.ShortBytes(rec.exename);
  w.ShortBytes(rec.version);
  w.ShortUnits(rec.installfolder);
  w.End(e);
  for (const RecordedFile& f : rec.files) {
    e = w.Begin(RecordTag::kFile);
    w.U64(f.size);
    w.U32(f.crc);
    w.U8(f.flags);
    w.Units(f.path);
    w.End(e);
  }
  for (const auto& folder : rec.folders) {
    e = w.Begin(RecordTag::kFolder);
    w.U8(0);
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
    w.U8(static_cast<std::uint8_t>(root));
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
  const auto payload = static_cast<std::uint32_t>(w.out.size() - kRecordHeaderSize);
  StoreLe32(w.out.data() + 8, payload);
  w.U32(Crc32(w.out.data(), w.out.size()));
  return std::move(w.out);
}

bool DecodeInstallRecord(std::span<const std::uint8_t> bytes, InstallRecord& rec) {
  rec = InstallRecord{};
  if (bytes.size() < kRecordHeaderSize + 4 || bytes.size() > kMaxRecordBytes) return false;
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) return false;
  if ((bytes[4] | bytes[5] << 8) != kRecordVersion || bytes[6] != 0 || bytes[7] != 0) return false;
  const std::uint32_t length = LoadLe32(bytes.data() + 8);
  if (length != bytes.size() - kRecordHeaderSize - 4) return false;
  if (Crc32(bytes.data(), bytes.size() - 4) != LoadLe32(bytes.data() + bytes.size() - 4))
    return false;

  bool haveproduct = false;
  Reader r(bytes.subspan(kRecordHeaderSize, length));
  while (r.left() > 0) {
    std::uint8_t tag = 0;
    std::uint32_t n = 0;
    if (!r.U8(tag) || !r.U32(n) || n > r.left()) return false;
    Reader entry(r.Take(n));
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

void SortDeepestFirst(std::vector<std::u16string>& folders) {
  auto depth = [](const std::u16string& f) { return std::count(f.begin(), f.end(), u'\\'); };
  std::vector<std::u16string> out;
  std::vector<std::u16string> seen;
  std::ptrdiff_t deepest = 0;
  for (const auto& f : folders) deepest = std::max(deepest, depth(f));
  // by depth, as the folders came within one depth: a handful of depths, no sort needed
  for (std::ptrdiff_t d = deepest; d >= 0; --d) {
    for (auto& f : folders) {
      if (depth(f) != d) continue;
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
  for (const auto& f : record.files) written.push_back(hash(f.path));
  if (!record.uninstaller.empty()) written.push_back(hash(record.uninstaller));
  std::sort(written.begin(), written.end());
  for (const auto& f : earlier.files) {
    if (!std::binary_search(written.begin(), written.end(), hash(f.path)))
      record.files.push_back(f);
  }
}

}  // namespace kestrel
