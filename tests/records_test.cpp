#include "package/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestrel {
namespace {

// Writes little-endian integers into a byte image, as a packer on any host would.
void Put32(std::vector<std::uint8_t>& img, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) img[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(std::vector<std::uint8_t>& img, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) img[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutShort(std::vector<std::uint8_t>& img, std::size_t at, const char* text) {
  img[at] = static_cast<std::uint8_t>(std::strlen(text));
  std::memcpy(&img[at + 1], text, std::strlen(text));
}
void PutWide(std::vector<std::uint8_t>& img, std::size_t at, const char* ascii) {
  for (std::size_t i = 0; ascii[i]; ++i) img[at + 2 * i] = static_cast<std::uint8_t>(ascii[i]);
}

template <class Record>
Record FromImage(const std::vector<std::uint8_t>& img) {
  Record r;
  EXPECT_EQ(img.size(), sizeof r);
  std::memcpy(&r, img.data(), sizeof r);
  return r;
}

TEST(Records, ConfigurationRecordFieldsSitAtTheirOffsets) {
  std::vector<std::uint8_t> img(kConfigRecordSize, 0);
  PutShort(img, 0, "Install Files Present");
  Put32(img, 28, 0x00030D40);
  PutWide(img, 32, "\\Halvard Tool");
  PutShort(img, 2080, "tool.exe");
  PutShort(img, 2336, "2.4");
  PutShort(img, 2402, "Halvard Tool");
  PutWide(img, 2660, "\\Halvard\\Tool");
  PutShort(img, 4708, "HalvardTool");
  PutShort(img, 4964 + 256 * 4, "svc5.exe");
  PutShort(img, 6244 + 256 * 4, "Svc Five");
  PutShort(img, 7524 + 256 * 5, "six.exe -x");
  PutShort(img, 9060 + 256 * 5, "Six");
  img[10596] = 1;
  Put32(img, 10600, 0xFFFFFFFE);
  PutShort(img, 10604, ".htl");
  PutShort(img, 10860, "Brimlow.MXA");
  PutShort(img, 11116, "Tool document");
  PutShort(img, 11372, "tool.exe");

  const auto c = FromImage<ConfigRecord>(img);
  EXPECT_TRUE(HasSetupMarker(c));
  EXPECT_EQ(c.packageoffset, 200000);
  EXPECT_EQ(ReadWide(c.programgroup), u"\\Halvard Tool");
  EXPECT_EQ(ReadShort(c.exename), "tool.exe");
  EXPECT_EQ(ReadShort(c.version), "2.4");
  EXPECT_EQ(ReadShort(c.displayname), "Halvard Tool");
  EXPECT_EQ(ReadWide(c.installfolder), u"\\Halvard\\Tool");
  EXPECT_EQ(ReadShort(c.appdatafolder), "HalvardTool");
  EXPECT_EQ(ReadShort(c.servicefiles[4]), "svc5.exe");
  EXPECT_EQ(ReadShort(c.servicenames[4]), "Svc Five");
  EXPECT_EQ(ReadShort(c.shortcutfiles[5]), "six.exe -x");
  EXPECT_EQ(ReadShort(c.shortcutcaptions[5]), "Six");
  EXPECT_EQ(c.haslicense, 1);
  EXPECT_EQ(c.licenseoffset, -2);  // signed
  EXPECT_EQ(ReadShort(c.assocext), ".htl");
  EXPECT_EQ(ReadShort(c.assocclass), "Brimlow.MXA");
  EXPECT_EQ(ReadShort(c.assocdescription), "Tool document");
  EXPECT_EQ(ReadShort(c.assocprogram), "tool.exe");
}

TEST(Records, SetupMarkerMustBeExactlyLength21AndTheText) {
  ConfigRecord c{};
  EXPECT_FALSE(HasSetupMarker(c));
  ASSERT_TRUE(WriteShort(c.setupmarker, "Install Files Present"));
  EXPECT_TRUE(HasSetupMarker(c));
  ASSERT_TRUE(WriteShort(c.setupmarker, "Install Files Present!"));  // merely starts with it
  EXPECT_FALSE(HasSetupMarker(c));
  ASSERT_TRUE(WriteShort(c.setupmarker, "Install Files Presenx"));
  EXPECT_FALSE(HasSetupMarker(c));
  ASSERT_TRUE(WriteShort(c.setupmarker, "Install Files Present"));
  c.setupmarker.length = 20;
  EXPECT_FALSE(HasSetupMarker(c));
}

TEST(Records, PackageHeaderDirectoryTrailerAndBlockHeaderFromBytes) {
  std::vector<std::uint8_t> h(kPackageHeaderSize, 0xEE);  // junk in unread fields
  std::memcpy(h.data(), "MXA1", 4);
  h[6] = 1;
  h[2064] = 2;
  const auto header = FromImage<PackageHeader>(h);
  EXPECT_EQ(header.encrypted, 1);
  EXPECT_EQ(header.compressed, 2);

  std::vector<std::uint8_t> d(kDirectoryRecordSize, 0);
  Put32(d, 0, 0xDEADBEEF);
  Put32(d, 4, 0x01020304);
  PutWide(d, 8, "tool.exe");
  PutWide(d, 2056, "\\bin");
  Put64(d, 4104, 0x123456789ULL);
  PutWide(d, 4112, "C:\\Fixed");
  Put64(d, 6160, 77);
  d[6169] = 0x21;
  Put64(d, 6184, 0xFFFFFFFFFFFFFFFFULL);
  const auto rec = FromImage<DirectoryRecord>(d);
  EXPECT_EQ(rec.chainleft, 0xDEADBEEFu);
  EXPECT_EQ(rec.chainright, 0x01020304u);
  EXPECT_EQ(ReadWide(rec.filename), u"tool.exe");
  EXPECT_EQ(ReadWide(rec.subfolder), u"\\bin");
  EXPECT_EQ(rec.filesize, 0x123456789LL);
  EXPECT_EQ(ReadWide(rec.targetfolder), u"C:\\Fixed");
  EXPECT_EQ(rec.storedsize, 77);
  EXPECT_EQ(rec.attributes, 0x21);
  EXPECT_EQ(rec.dataoffset, -1);

  std::vector<std::uint8_t> t(kDirectoryTrailerSize, 0);
  Put32(t, 4, 0xFFFFFFFF);
  EXPECT_EQ(FromImage<DirectoryTrailer>(t).filecount, -1);

  std::vector<std::uint8_t> b = {0x43, 1, 9, 9, 0x74, 0xAD, 0, 0, 1, 9, 9, 9};
  const auto block = FromImage<BlockHeader>(b);
  EXPECT_EQ(block.marker, kBlockMarker);
  EXPECT_EQ(block.coded, 1);
  EXPECT_EQ(block.bitcount, 44404u);
  EXPECT_EQ(block.lastblock, 1);
}

TEST(Records, PayloadIsBitcountRoundedUpToWholeUnits) {
  EXPECT_EQ(PayloadBytes(0), 0u);
  EXPECT_EQ(PayloadBytes(1), 8u);
  EXPECT_EQ(PayloadBytes(64), 8u);
  EXPECT_EQ(PayloadBytes(65), 16u);
  EXPECT_EQ(PayloadBytes(44404), 5552u);
  EXPECT_EQ(PayloadBytes(kMaxBlockBits), 65536u);
  EXPECT_EQ(PayloadBytes(0xFFFFFFFFu), 536870912u);  // no overflow for hostile headers
}

TEST(Records, WideTextEndsAtFirstZeroOrFillsTheArray) {
  WideText w{};
  EXPECT_EQ(ReadWide(w), u"");
  std::u16string full(kWideTextUnits, u'x');
  ASSERT_TRUE(WriteWide(w, full));
  EXPECT_EQ(ReadWide(w), full);  // no terminator inside the array
  EXPECT_FALSE(WriteWide(w, full + u"y"));
  EXPECT_FALSE(WriteWide(w, std::u16string(u"a\0b", 3)));
  ASSERT_TRUE(WriteWide(w, u"short"));
  EXPECT_EQ(ReadWide(w), u"short");
  EXPECT_EQ(w.units[5], 0);
  EXPECT_EQ(w.units[kWideTextUnits - 1], 0);  // rest zero-filled
}

TEST(Records, ShortTextHonoursItsRoomAndHostileLengthBytes) {
  ShortText<65> v{};
  EXPECT_TRUE(WriteShort(v, std::string(64, 'v')));
  EXPECT_FALSE(WriteShort(v, std::string(65, 'v')));
  v.length = 255;  // a damaged length byte cannot read past the field
  EXPECT_EQ(ReadShort(v).size(), 64u);
  ShortText<256> n{};
  EXPECT_TRUE(WriteShort(n, std::string(255, 'n')));
  EXPECT_EQ(ReadShort(n), std::string(255, 'n'));
  EXPECT_TRUE(WriteShort(n, "ab"));
  EXPECT_EQ(ReadShort(n), "ab");
  EXPECT_EQ(n.chars[2], 0);
}

}  // namespace
}  // namespace kestrel
