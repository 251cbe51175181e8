// The package's directory as the reader holds it, and the compact directory's stream.
//
// A classic directory is N records of 6232 bytes, nearly all zeros. The reader keeps each record
// in a compact form (its texts in one shared pool, the subfolder shared with the record before
// when equal), so what it holds grows with the names, not with 6 KB a file, and hands out a whole
// DirectoryRecord again on request.
//
// A compact directory stores the same records as a byte stream, coded as a block run in the data
// area and found through the Configuration record's extension (ConfigTag::kCompactDirectory).
// The stream is parsed as it is decoded, piece by piece, so it is never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/records.h"

namespace kestrel {

// The string a setup program that reads compact directories carries in its resources; the
// packer combines a compact directory only with a stub that holds it.
inline constexpr std::string_view kCompactDirectoryCapability = "KestrelReads:CompactDirectory/1";

// A compact package's classic directory holds one record of this name, which every reader
// refuses before it creates anything: a setup program that cannot read the compact form fails
// instead of installing nothing and calling that a success.
inline constexpr std::u16string_view kCompactPlaceholderName = u"..";

// A compact run of repeated records codes down to a few bytes each, so a small file could make a
// reader hold gigabytes: a directory may hold at most this many records and, held in memory, this
// many bytes. The packer refuses a product beyond them; readers take a run beyond them as damaged.
inline constexpr std::uint32_t kMaxDirectoryRecords = 1u << 20;
inline constexpr std::size_t kMaxDirectoryHeldBytes = std::size_t{256} << 20;

// What the kCompactDirectory item says: where the run lies and what it must decode to.
struct CompactDirectoryRef {
  static constexpr std::uint8_t kVersion = 1;
  static constexpr std::size_t kItemSize = 1 + 8 + 4 + 8 + 4;
  std::int64_t dataoffset = 0;  // first Block header of the run, from the Package header's start
  std::uint32_t count = 0;      // records in the stream
  std::uint64_t length = 0;     // decoded bytes of the stream
  std::uint32_t crc = 0;        // CRC-32 of the decoded stream

  void Store(std::uint8_t* item) const;
  // Nothing for an item of the wrong size or an unknown version.
  static std::optional<CompactDirectoryRef> Load(std::span<const std::uint8_t> item);
};

// The records of a package in file order, each held compactly.
class Directory {
 public:
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear();
  void Add(const DirectoryRecord& record);
  // The whole record at `index` (texts zero-filled behind their end).
  void Get(std::size_t index, DirectoryRecord& out) const;
  DirectoryRecord operator[](std::size_t index) const {
    DirectoryRecord r;
    Get(index, r);
    return r;
  }
  // The bytes held, for tests of the memory the directory costs.
  std::size_t HeldBytes() const;
  // What the files take once written: the sum of their sizes (a negative one counts nothing),
  // at most the largest 64-bit value however many huge sizes a crafted directory names.
  std::uint64_t InstalledBytes() const;

 private:
  // The record's bytes the reader has no field for (reserved6168, padding6170, reserved6192)
  // are kept, 47 at a time, only for records where any of them is set.
  struct Text {
    std::uint32_t at = 0;
    std::uint16_t units = 0;
  };
  struct Entry {
    std::uint32_t chainleft, chainright;
    std::int64_t filesize, storedsize, dataoffset;
    double filetime;
    Text filename, subfolder, targetfolder;
    std::uint32_t loose;  // 1 + index into loose_, or 0
    std::uint8_t attributes;
  };
  Text Keep(const WideText& field);
  std::u16string_view View(Text t) const {
    return std::u16string_view(pool_).substr(t.at, t.units);
  }

  std::vector<Entry> entries_;
  std::u16string pool_;
  std::vector<std::uint8_t> loose_;
};

// Appends one record to a compact stream. `previous` is the record before it in the stream
// (null for the first): an equal subfolder and the data offset are written relative to it.
void AppendCompactRecord(const DirectoryRecord& record, const DirectoryRecord* previous,
                         std::vector<std::uint8_t>& out);

// Parses a compact stream fed in pieces of any size into a Directory. Allocation stays with the
// directory: a record cut between two pieces waits in a fixed carry.
class CompactRecordParser {
 public:
  explicit CompactRecordParser(Directory& directory);
  ~CompactRecordParser();
  CompactRecordParser(const CompactRecordParser&) = delete;
  CompactRecordParser& operator=(const CompactRecordParser&) = delete;

  // False once the stream is malformed; every later call is false too.
  bool Feed(std::span<const std::uint8_t> bytes);
  // True when the stream ended on a record boundary.
  bool AtRecordEnd() const { return ok_ && carried_ == 0; }
  std::uint64_t records() const { return records_; }

  // The longest record a stream may hold: three texts of 1024 units at 3 bytes each and the
  // fixed fields.
  static constexpr std::size_t kMaxRecordBytes = 3 * (3 + 3 * kWideTextUnits) + 128;

 private:
  enum class Step { kDone, kNeedMore, kBad };
  Step ParseOne(std::span<const std::uint8_t> bytes, std::size_t& used);

  Directory& directory_;
  std::unique_ptr<std::uint8_t[]> carry_;
  std::unique_ptr<DirectoryRecord> record_;  // the record being parsed
  std::u16string previous_subfolder_;
  std::int64_t previous_dataoffset_ = 0;
  std::size_t carried_ = 0;
  std::uint64_t records_ = 0;
  bool ok_ = true;
};

}  // namespace kestrel
