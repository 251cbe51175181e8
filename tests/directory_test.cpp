// The directory as the reader holds it, and the compact directory's stream: every record field,
// reserved bytes included, survives the stream fed in pieces of any size; damaged streams are
// refused without reading past their bytes.
#include "package/directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace kestrel {
namespace {

std::unique_ptr<DirectoryRecord> Record(std::u16string_view name, std::u16string_view sub,
                                        std::u16string_view target = {}) {
  auto r = std::make_unique<DirectoryRecord>();
  std::memset(r.get(), 0, sizeof *r);
  WriteWide(r->filename, name);
  WriteWide(r->subfolder, sub);
  WriteWide(r->targetfolder, target);
  return r;
}

// Records that touch every branch of the stream: texts of every unit width, lone surrogates,
// full-length texts, shared and changing subfolders, negative sizes, chain values, a file time,
// and reserved bytes on either side of the attribute byte.
std::vector<std::unique_ptr<DirectoryRecord>> Awkward() {
  std::vector<std::unique_ptr<DirectoryRecord>> v;
  v.push_back(Record(u"tool.exe", u""));
  v.push_back(Record(u"\u007F\u0080\u07FF\u0800\uFFFF\xD800x\xDFFF", u"\\Data"));
  v.push_back(Record(std::u16string(1024, u'n'), u"\\Data"));
  v.push_back(Record(u"", u"\\Data", std::u16string(1024, u'\u20AC')));
  v.push_back(Record(u"b.txt", u"\\Other\\Deeper"));
  v[1]->filesize = -5;
  v[1]->storedsize = 0x7FFFFFFFFFFFFFFF;
  v[1]->dataoffset = 1 << 30;
  v[2]->dataoffset = 12;  // behind the one before: a negative step
  v[2]->chainleft = 0xDEADBEEF;
  v[2]->chainright = 1;
  v[3]->filetime = 45000.25;
  v[3]->attributes = 0xA7;
  v[4]->reserved6168 = 1;
  v[4]->padding6170[5] = 2;
  for (int i = 0; i < 40; ++i) v[4]->reserved6192[i] = static_cast<std::uint8_t>(i * 7 + 1);
  v[4]->dataoffset = -3;
  return v;
}

std::vector<std::uint8_t> Stream(const std::vector<std::unique_ptr<DirectoryRecord>>& records) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    AppendCompactRecord(*records[i], i ? records[i - 1].get() : nullptr, out);
  }
  return out;
}

TEST(CompactDirectory, EveryFieldSurvivesPiecesOfAnySize) {
  const auto records = Awkward();
  const auto stream = Stream(records);
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                            std::size_t{1000}, stream.size()}) {
    Directory dir;
    CompactRecordParser parser(dir);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      ASSERT_TRUE(parser.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at))))
          << piece;
    }
    ASSERT_TRUE(parser.AtRecordEnd()) << piece;
    ASSERT_EQ(dir.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      auto got = std::make_unique<DirectoryRecord>();
      dir.Get(i, *got);
      EXPECT_EQ(std::memcmp(got.get(), records[i].get(), sizeof(DirectoryRecord)), 0)
          << "record " << i << ", pieces of " << piece;
    }
  }
}

TEST(CompactDirectory, DamagedStreamsAreRefusedOrIncomplete) {
  const auto stream = Stream(Awkward());
  // cut anywhere: never a complete directory unless cut on a record boundary
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    Directory dir;
    CompactRecordParser parser(dir);
    const bool fed = parser.Feed(std::span(stream).first(cut));
    if (fed && parser.AtRecordEnd()) {
      EXPECT_LT(parser.records(), 5u) << cut;
    }
  }
  const std::vector<std::vector<std::uint8_t>> bad = {
      {0x10, 0, 0, 0, 0, 0, 0},           // an unknown flag
      {0x01, 0, 0, 0, 0, 0, 0},           // "same subfolder" with no record before
      {0x00, 1, 0x00},                    // a zero unit
      {0x00, 1, 0xC1, 0xBF},              // an overlong two-byte unit
      {0x00, 1, 0xE0, 0x9F, 0xBF},        // an overlong three-byte unit
      {0x00, 1, 0xF0, 0x80, 0x80, 0x80},  // no four-byte units
      {0x00, 1, 0x80},                    // a stray continuation byte
      {0x00, 0x81, 0x08},                 // a text of 1025 units
      {0x00, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},  // long
  };
  for (const auto& b : bad) {
    Directory dir;
    CompactRecordParser parser(dir);
    EXPECT_FALSE(parser.Feed(b)) << testing::PrintToString(b);
    EXPECT_FALSE(parser.Feed(b));  // and stays refused
    EXPECT_TRUE(dir.empty());
  }
  // random noise in random pieces: refused or incomplete, never out of bounds (the sanitizer
  // build checks that)
  std::mt19937 gen(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> noise(gen() % 3000);
    for (auto& x : noise) x = static_cast<std::uint8_t>(gen() % 4 ? gen() & 0x7F : gen());
    Directory dir;
    CompactRecordParser parser(dir);
    for (std::size_t at = 0; at < noise.size();) {
      const std::size_t n = std::min<std::size_t>(noise.size() - at, 1 + gen() % 200);
      if (!parser.Feed(std::span(noise).subspan(at, n))) break;
      at += n;
    }
  }
}

TEST(CompactDirectory, HeldFormCostsTheNamesNotSixKilobytesAFile) {
  Directory dir;
  for (int i = 0; i < 2000; ++i) {
    auto r = Record(u"file" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u".dll",
                    i < 1000 ? u"\\bin" : u"\\lib\\plugins");
    dir.Add(*r);
  }
  EXPECT_LT(dir.HeldBytes(), 2000u * 120);
  EXPECT_EQ(ReadWide(dir[1500].subfolder), u"\\lib\\plugins");
  EXPECT_EQ(ReadWide(dir[3].filename), u"filed.dll");
}

TEST(CompactDirectory, RefOnlyLoadsItsOwnVersionAndSize) {
  CompactDirectoryRef ref{123456789012, 42, 99999, 0xCAFEF00D};
  std::vector<std::uint8_t> item(CompactDirectoryRef::kItemSize);
  ref.Store(item.data());
  const auto back = CompactDirectoryRef::Load(item);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->dataoffset, ref.dataoffset);
  EXPECT_EQ(back->count, 42u);
  EXPECT_EQ(back->length, 99999u);
  EXPECT_EQ(back->crc, 0xCAFEF00Du);
  item[0] = 2;
  EXPECT_FALSE(CompactDirectoryRef::Load(item));
  item[0] = 1;
  item.pop_back();
  EXPECT_FALSE(CompactDirectoryRef::Load(item));
}

}  // namespace
}  // namespace kestrel
