#include "package/startload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrel {
namespace {

// A read-only file in memory; seeking before the start fails as the system's call does.
class MemoryFile final : public PackageFile {
 public:
  explicit MemoryFile(std::vector<char> bytes) : bytes_(std::move(bytes)) {}
  bool OpenRead(const std::u16string&) override { return true; }
  bool CreateWrite(const std::u16string&) override { return false; }
  std::uint32_t Read(void* buffer, std::uint32_t& n) override {
    const std::int64_t left = static_cast<std::int64_t>(bytes_.size()) - pos_;
    const std::uint32_t got =
        left <= 0 ? 0 : static_cast<std::uint32_t>(std::min<std::int64_t>(n, left));
    if (got) std::memcpy(buffer, bytes_.data() + pos_, got);
    pos_ += got;
    n = got;
    return got;
  }
  bool Write(const void*, std::uint32_t) override { return false; }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()); }
  std::int64_t Position() override { return pos_; }
  bool Seek(std::int64_t position) override {
    if (position < 0) return false;
    pos_ = position;
    return true;
  }

 private:
  std::vector<char> bytes_;
  std::int64_t pos_ = 0;
};

ConfigRecord Record(bool marker) {
  ConfigRecord c{};
  if (marker) WriteShort(c.setupmarker, kSetupMarker);
  WriteShort(c.displayname, "Demo App");
  return c;
}

// stub bytes, then the licence, then the record
std::vector<char> Package(const std::string& stub, const std::string& licence, ConfigRecord c) {
  std::vector<char> out(stub.begin(), stub.end());
  out.insert(out.end(), licence.begin(), licence.end());
  const char* p = reinterpret_cast<const char*>(&c);
  out.insert(out.end(), p, p + sizeof c);
  return out;
}

TEST(StartupLoad, ReadsTheRecordFromTheEndOfTheFile) {
  MemoryFile f(Package("MZ stub bytes", "", Record(true)));
  ConfigRecord c{};
  std::string licence = "stale";
  EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kOk);
  EXPECT_EQ(ReadShort(c.displayname), "Demo App");
  EXPECT_EQ(licence, "");
}

TEST(StartupLoad, RefusesFilesWithoutAPackage) {
  ConfigRecord c{};
  std::string licence;
  MemoryFile nomarker(Package("MZ", "", Record(false)));
  EXPECT_EQ(LoadStartupPackage(nomarker, c, licence), StartupLoad::kNoPackage);

  // the marker's length byte counts: 20 characters of it are not the marker
  ConfigRecord shortmarker = Record(true);
  shortmarker.setupmarker.length = 20;
  MemoryFile cut(Package("MZ", "", shortmarker));
  EXPECT_EQ(LoadStartupPackage(cut, c, licence), StartupLoad::kNoPackage);

  // shorter than the record: the seek before the start fails
  MemoryFile tiny(std::vector<char>(kConfigRecordSize - 1, 'x'));
  EXPECT_EQ(LoadStartupPackage(tiny, c, licence), StartupLoad::kUnreadable);
}

TEST(StartupLoad, LicenceIsCutAtItsFirstZeroByte) {
  ConfigRecord rec = Record(true);
  rec.haslicense = 1;
  rec.licenseoffset = 4;
  MemoryFile f(Package("stub", std::string("Line 1\r\nLine 2\0hidden", 21), rec));
  ConfigRecord c{};
  std::string licence;
  EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kOk);
  EXPECT_EQ(licence, "Line 1\r\nLine 2");
  EXPECT_EQ(c.haslicense, 1);
}

TEST(StartupLoad, EmptyLicenceStillShowsItsPage) {
  ConfigRecord rec = Record(true);
  rec.haslicense = 1;
  rec.licenseoffset = 4;
  MemoryFile f(Package("stub", "", rec));
  ConfigRecord c{};
  std::string licence = "x";
  EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kOk);
  EXPECT_EQ(licence, "");
  EXPECT_EQ(c.haslicense, 1);
}

TEST(StartupLoad, UnreadableLicenceDropsThePage) {
  ConfigRecord rec = Record(true);
  rec.haslicense = 1;
  rec.licenseoffset = -10;  // a read before the start of the file fails
  MemoryFile f(Package("stub", "licence", rec));
  ConfigRecord c{};
  std::string licence;
  EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kOk);
  EXPECT_EQ(c.haslicense, 0);
  EXPECT_EQ(licence, "");
}

TEST(StartupLoad, LicenceInsideTheRecordIsADamagedPackage) {
  ConfigRecord rec = Record(true);
  rec.haslicense = 1;
  rec.licenseoffset = 100;  // past the record's start: the length would be negative
  MemoryFile f(Package("stub", "", rec));
  ConfigRecord c{};
  std::string licence;
  EXPECT_EQ(LoadStartupPackage(f, c, licence), StartupLoad::kUnreadable);
}

}  // namespace
}  // namespace kestrel
