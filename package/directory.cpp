#include "package/directory.h"

#include <algorithm>
#include <cstring>

#include "package/extension.h"

namespace kestrel {
namespace {

// Record flags of the compact stream.
constexpr std::uint8_t kSameSubfolder = 0x01;  // the subfolder of the record before
constexpr std::uint8_t kHasChain = 0x02;
constexpr std::uint8_t kHasFiletime = 0x04;
constexpr std::uint8_t kHasLoose = 0x08;
constexpr std::uint8_t kKnownFlags = 0x0F;

constexpr std::size_t kLooseSize = 1 + 6 + 40;

std::uint64_t ZigZag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t UnZigZag(std::uint64_t v) {
  return static_cast<std::int64_t>((v >> 1) ^ (~(v & 1) + 1));
}

void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

// Each code unit on its own as one to three bytes, so any unit sequence (lone surrogates too)
// comes back exactly; names are mostly ASCII, which this halves.
void PutText(std::vector<std::uint8_t>& out, const WideText& field) {
  const std::u16string text = ReadWide(field);
  PutVarint(out, text.size());
  for (char16_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<std::uint8_t>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<std::uint8_t>(0xC0 | c >> 6));
      out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<std::uint8_t>(0xE0 | c >> 12));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    }
  }
}

// The record's bytes that no reader field covers, gathered and put back in one order.
void GatherLoose(const DirectoryRecord& r, std::uint8_t* loose) {
  loose[0] = r.reserved6168;
  std::memcpy(loose + 1, r.padding6170, 6);
  std::memcpy(loose + 7, r.reserved6192, 40);
}
void ScatterLoose(const std::uint8_t* loose, DirectoryRecord& r) {
  r.reserved6168 = loose[0];
  std::memcpy(r.padding6170, loose + 1, 6);
  std::memcpy(r.reserved6192, loose + 7, 40);
}

bool AnySet(const std::uint8_t* p, std::size_t n) {
  return std::any_of(p, p + n, [](std::uint8_t b) { return b != 0; });
}

// A cursor over one piece of the stream; every read fails once the piece runs out.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> b) : b_(b) {}
  bool Byte(std::uint8_t& v) {
    if (at_ >= b_.size()) return false;
    v = b_[at_++];
    return true;
  }
  bool Bytes(void* to, std::size_t n) {
    if (b_.size() - at_ < n) return false;
    std::memcpy(to, b_.data() + at_, n);
    at_ += n;
    return true;
  }
  // 0: more bytes needed, 1: read, -1: malformed (longer than ten bytes).
  int Varint(std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 70; shift += 7) {
      std::uint8_t b = 0;
      if (!Byte(b)) return 0;
      if (shift == 63 && b > 1) return -1;
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return 1;
    }
    return -1;
  }
  std::size_t used() const { return at_; }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t at_ = 0;
};

}  // namespace

void CompactDirectoryRef::Store(std::uint8_t* item) const {
  item[0] = kVersion;
  StoreLe64(item + 1, static_cast<std::uint64_t>(dataoffset));
  StoreLe32(item + 9, count);
  StoreLe64(item + 13, length);
  StoreLe32(item + 21, crc);
}

std::optional<CompactDirectoryRef> CompactDirectoryRef::Load(std::span<const std::uint8_t> item) {
  if (item.size() != kItemSize || item[0] != kVersion) return std::nullopt;
  CompactDirectoryRef r;
  r.dataoffset = static_cast<std::int64_t>(LoadLe64(item.data() + 1));
  r.count = LoadLe32(item.data() + 9);
  r.length = LoadLe64(item.data() + 13);
  r.crc = LoadLe32(item.data() + 21);
  return r;
}

void Directory::clear() {
  entries_.clear();
  pool_.clear();
  loose_.clear();
  entries_.shrink_to_fit();
  pool_.shrink_to_fit();
  loose_.shrink_to_fit();
}

Directory::Text Directory::Keep(const WideText& field) {
  const std::u16string_view units(field.units, kWideTextUnits);
  const std::size_t n = std::min(units.find(u'\0'), kWideTextUnits);
  Text t{static_cast<std::uint32_t>(pool_.size()), static_cast<std::uint16_t>(n)};
  pool_.append(units.substr(0, n));
  return t;
}

void Directory::Add(const DirectoryRecord& r) {
  Entry e{};
  e.chainleft = r.chainleft;
  e.chainright = r.chainright;
  e.filesize = r.filesize;
  e.storedsize = r.storedsize;
  e.dataoffset = r.dataoffset;
  e.filetime = r.filetime;
  e.attributes = r.attributes;
  e.filename = Keep(r.filename);
  // files of one folder follow each other: their subfolder is kept once
  const std::u16string_view units(r.subfolder.units, kWideTextUnits);
  const auto sub = units.substr(0, std::min(units.find(u'\0'), kWideTextUnits));
  if (!entries_.empty() && View(entries_.back().subfolder) == sub) {
    e.subfolder = entries_.back().subfolder;
  } else {
    e.subfolder = Keep(r.subfolder);
  }
  e.targetfolder = Keep(r.targetfolder);
  std::uint8_t loose[kLooseSize];
  GatherLoose(r, loose);
  if (AnySet(loose, kLooseSize)) {
    loose_.insert(loose_.end(), loose, loose + kLooseSize);
    e.loose = static_cast<std::uint32_t>(loose_.size() / kLooseSize);
  }
  entries_.push_back(e);
}

void Directory::Get(std::size_t index, DirectoryRecord& r) const {
  std::memset(&r, 0, sizeof r);
  const Entry& e = entries_[index];
  r.chainleft = e.chainleft;
  r.chainright = e.chainright;
  r.filesize = e.filesize;
  r.storedsize = e.storedsize;
  r.dataoffset = e.dataoffset;
  r.filetime = e.filetime;
  auto put = [&](WideText& field, Text t) {
    std::copy_n(pool_.data() + t.at, t.units, field.units);
  };
  put(r.filename, e.filename);
  put(r.subfolder, e.subfolder);
  put(r.targetfolder, e.targetfolder);
  if (e.loose) ScatterLoose(loose_.data() + (e.loose - 1) * kLooseSize, r);
  r.attributes = e.attributes;
}

std::uint64_t Directory::InstalledBytes() const {
  std::uint64_t total = 0;
  for (const Entry& e : entries_) {
    if (e.filesize > 0 &&
        __builtin_add_overflow(total, static_cast<std::uint64_t>(e.filesize), &total)) {
      return UINT64_MAX;
    }
  }
  return total;
}

std::size_t Directory::HeldBytes() const {
  return entries_.capacity() * sizeof(Entry) + pool_.capacity() * sizeof(char16_t) +
         loose_.capacity();
}

void AppendCompactRecord(const DirectoryRecord& r, const DirectoryRecord* previous,
                         std::vector<std::uint8_t>& out) {
  const bool same_subfolder =
      previous && std::memcmp(&previous->subfolder, &r.subfolder, sizeof r.subfolder) == 0;
  std::uint8_t loose[kLooseSize];
  GatherLoose(r, loose);
  std::uint8_t flags = 0;
  if (same_subfolder) flags |= kSameSubfolder;
  if (r.chainleft || r.chainright) flags |= kHasChain;
  if (r.filetime != 0.0) flags |= kHasFiletime;
  if (AnySet(loose, kLooseSize)) flags |= kHasLoose;
  out.push_back(flags);
  PutText(out, r.filename);
  if (!same_subfolder) PutText(out, r.subfolder);
  PutText(out, r.targetfolder);
  PutVarint(out, ZigZag(r.filesize));
  PutVarint(out, ZigZag(r.storedsize));
  const std::int64_t before = previous ? previous->dataoffset : 0;
  PutVarint(out, ZigZag(static_cast<std::int64_t>(static_cast<std::uint64_t>(r.dataoffset) -
                                                  static_cast<std::uint64_t>(before))));
  out.push_back(r.attributes);
  if (flags & kHasChain) {
    std::uint8_t b[8];
    StoreLe32(b, r.chainleft);
    StoreLe32(b + 4, r.chainright);
    out.insert(out.end(), b, b + 8);
  }
  if (flags & kHasFiletime) {
    std::uint64_t bits;
    std::memcpy(&bits, &r.filetime, 8);
    std::uint8_t b[8];
    StoreLe64(b, bits);
    out.insert(out.end(), b, b + 8);
  }
  if (flags & kHasLoose) out.insert(out.end(), loose, loose + kLooseSize);
}

CompactRecordParser::CompactRecordParser(Directory& directory)
    : directory_(directory),
      carry_(std::make_unique<std::uint8_t[]>(kMaxRecordBytes)),
      record_(std::make_unique<DirectoryRecord>()) {}

CompactRecordParser::~CompactRecordParser() = default;

CompactRecordParser::Step CompactRecordParser::ParseOne(std::span<const std::uint8_t> bytes,
                                                        std::size_t& used) {
  Cursor c(bytes);
  DirectoryRecord& r = *record_;
  std::memset(&r, 0, sizeof r);
  std::uint8_t flags = 0;
  if (!c.Byte(flags)) return Step::kNeedMore;
  if (flags & ~kKnownFlags) return Step::kBad;
  // 0: more bytes needed, 1: read, -1: malformed
  auto text = [&](WideText& field) -> int {
    std::uint64_t n = 0;
    const int got = c.Varint(n);
    if (got <= 0) return got;
    if (n > kWideTextUnits) return -1;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint8_t b0 = 0, b1 = 0, b2 = 0;
      if (!c.Byte(b0)) return 0;
      char16_t u;
      if (b0 < 0x80) {
        u = b0;
      } else if ((b0 & 0xE0) == 0xC0) {
        if (!c.Byte(b1)) return 0;
        if ((b1 & 0xC0) != 0x80) return -1;
        u = static_cast<char16_t>((b0 & 0x1F) << 6 | (b1 & 0x3F));
        if (u < 0x80) return -1;
      } else if ((b0 & 0xF0) == 0xE0) {
        if (!c.Byte(b1) || !c.Byte(b2)) return 0;
        if ((b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return -1;
        u = static_cast<char16_t>((b0 & 0x0F) << 12 | (b1 & 0x3F) << 6 | (b2 & 0x3F));
        if (u < 0x800) return -1;
      } else {
        return -1;
      }
      if (u == 0) return -1;  // a zero unit would end the text early
      field.units[i] = u;
    }
    return 1;
  };
  auto step = [](int got) { return got < 0 ? Step::kBad : Step::kNeedMore; };
  int got = text(r.filename);
  if (got <= 0) return step(got);
  if (flags & kSameSubfolder) {
    if (records_ == 0) return Step::kBad;
    std::copy(previous_subfolder_.begin(), previous_subfolder_.end(), r.subfolder.units);
  } else if ((got = text(r.subfolder)) <= 0) {
    return step(got);
  }
  if ((got = text(r.targetfolder)) <= 0) return step(got);
  std::uint64_t filesize = 0, storedsize = 0, delta = 0;
  if ((got = c.Varint(filesize)) <= 0 || (got = c.Varint(storedsize)) <= 0 ||
      (got = c.Varint(delta)) <= 0) {
    return step(got);
  }
  r.filesize = UnZigZag(filesize);
  r.storedsize = UnZigZag(storedsize);
  r.dataoffset = static_cast<std::int64_t>(static_cast<std::uint64_t>(previous_dataoffset_) +
                                           static_cast<std::uint64_t>(UnZigZag(delta)));
  if (!c.Byte(r.attributes)) return Step::kNeedMore;
  if (flags & kHasChain) {
    std::uint8_t b[8];
    if (!c.Bytes(b, 8)) return Step::kNeedMore;
    r.chainleft = LoadLe32(b);
    r.chainright = LoadLe32(b + 4);
  }
  if (flags & kHasFiletime) {
    std::uint8_t b[8];
    if (!c.Bytes(b, 8)) return Step::kNeedMore;
    const std::uint64_t bits = LoadLe64(b);
    std::memcpy(&r.filetime, &bits, 8);
  }
  if (flags & kHasLoose) {
    std::uint8_t b[kLooseSize];
    if (!c.Bytes(b, kLooseSize)) return Step::kNeedMore;
    ScatterLoose(b, r);
  }
  used = c.used();
  previous_subfolder_ = ReadWide(r.subfolder);
  previous_dataoffset_ = r.dataoffset;
  directory_.Add(r);
  ++records_;
  return Step::kDone;
}

bool CompactRecordParser::Feed(std::span<const std::uint8_t> bytes) {
  if (!ok_) return false;
  // first finish a record cut at the end of the last piece
  while (carried_ > 0 && !bytes.empty()) {
    const std::size_t take = std::min(bytes.size(), kMaxRecordBytes - carried_);
    std::memcpy(carry_.get() + carried_, bytes.data(), take);
    std::size_t used = 0;
    const Step s = ParseOne(std::span(carry_.get(), carried_ + take), used);
    if (s == Step::kBad) return ok_ = false;
    if (s == Step::kNeedMore) {
      if (carried_ + take == kMaxRecordBytes) return ok_ = false;
      carried_ += take;
      return true;  // the whole piece went into the carry
    }
    bytes = bytes.subspan(used - carried_);
    carried_ = 0;
  }
  while (!bytes.empty()) {
    std::size_t used = 0;
    const Step s = ParseOne(bytes, used);
    if (s == Step::kBad) return ok_ = false;
    if (s == Step::kNeedMore) {
      if (bytes.size() >= kMaxRecordBytes) return ok_ = false;
      std::memcpy(carry_.get(), bytes.data(), bytes.size());
      carried_ = bytes.size();
      return true;
    }
    bytes = bytes.subspan(used);
  }
  return true;
}

}  // namespace kestrel
