#include "package/pkgfile.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "pack/tools.h"
#include "package_fixture.h"

namespace kestrel {
namespace {

// A file system of folders and files held in a map, recording every call.
class FakeFileSystem final : public FileSystem {
 public:
  std::map<std::u16string, bool> entries;  // path -> is folder
  std::vector<std::u16string> searches, created;

  std::unique_ptr<PackageFile> NewFile() override { return nullptr; }
  bool FindEntry(const std::u16string& path, bool& is_folder) override {
    searches.push_back(path);
    auto it = entries.find(path);
    if (it == entries.end()) return false;
    is_folder = it->second;
    return true;
  }
  bool CreateFolder(const std::u16string& path) override {
    const auto k = path.rfind(u'\\');
    const std::u16string parent = k == std::u16string::npos ? u"" : path.substr(0, k);
    const bool drive = parent.size() == 2 && parent[1] == u':';
    auto it = entries.find(parent);
    if (!drive && (it == entries.end() || !it->second)) return false;
    if (entries.count(path)) return false;
    created.push_back(path);
    entries[path] = true;
    return true;
  }
  bool ApplyAttributes(const std::u16string&, std::uint32_t) override { return true; }
  bool RemoveFile(const std::u16string&) override { return false; }
  bool RemoveFolder(const std::u16string&) override { return false; }
  bool MoveReplacing(const std::u16string&, const std::u16string&) override { return false; }
};

TEST(FolderOps, DrivesCountWithoutASearch) {
  FakeFileSystem fs;
  EXPECT_TRUE(FolderExists(fs, u"D:\\"));
  EXPECT_TRUE(FolderExists(fs, u"D:"));
  EXPECT_TRUE(fs.searches.empty());
  fs.entries[u"C:\\file.txt"] = false;
  fs.entries[u"C:\\dir"] = true;
  EXPECT_FALSE(FolderExists(fs, u"C:\\file.txt"));
  EXPECT_TRUE(FolderExists(fs, u"C:\\dir\\"));
  EXPECT_EQ(fs.searches.back(), u"C:\\dir");  // searched without the trailing backslash
}

TEST(FolderOps, CreateFolderChainMakesEveryMissingFolderInOrder) {
  FakeFileSystem fs;
  EXPECT_TRUE(CreateFolderChain(fs, u"C:\\A\\B\\C"));
  EXPECT_EQ(fs.created, (std::vector<std::u16string>{u"C:\\A", u"C:\\A\\B", u"C:\\A\\B\\C"}));
  fs.created.clear();
  EXPECT_TRUE(CreateFolderChain(fs, u"C:\\A\\B\\D\\"));
  EXPECT_EQ(fs.created, (std::vector<std::u16string>{u"C:\\A\\B\\D"}));
  EXPECT_FALSE(CreateFolderChain(fs, u""));
  fs.entries[u"C:\\F"] = false;  // a file stands where a folder should go
  EXPECT_FALSE(CreateFolderChain(fs, u"C:\\F\\G"));
}

TEST(FolderOps, FilePresentSkipsDeviceNamesAndFolders) {
  FakeFileSystem fs;
  fs.entries[u"C:\\x\\LPT3"] = false;
  fs.entries[u"C:\\x\\COM5"] = false;
  fs.entries[u"C:\\x\\dir"] = true;
  EXPECT_FALSE(FilePresent(fs, u"C:\\x\\LPT3"));
  EXPECT_FALSE(FilePresent(fs, u"C:\\x\\com2"));
  EXPECT_EQ(fs.searches.size(), 0u);
  EXPECT_TRUE(FilePresent(fs, u"C:\\x\\COM5"));
  EXPECT_FALSE(FilePresent(fs, u"C:\\x\\dir"));
  EXPECT_FALSE(FilePresent(fs, u"C:\\x\\none"));
}

TEST(PosixFile, ReadsWritesAndSeeksLikeTheHandle) {
  testing::ScratchDir dir;
  auto fs = MakeHostFileSystem();
  auto f = fs->NewFile();
  const std::u16string path = pack::PackagePath(dir / "a" / "b" / "f.bin");
  ASSERT_TRUE(f->CreateWrite(path));  // makes the folder chain first
  const std::uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_TRUE(f->Write(data, 10));
  EXPECT_EQ(f->Position(), 10);
  f->Close();
  EXPECT_FALSE(f->IsOpen());
  ASSERT_TRUE(f->OpenRead(path));
  EXPECT_EQ(f->Size(), 10);
  std::uint8_t buf[16] = {};
  std::uint32_t n = 4;
  EXPECT_EQ(f->ReadAt(buf, n, 6), 4u);
  EXPECT_EQ(buf[0], 6);
  n = 8;
  EXPECT_EQ(f->ReadAt(buf, n, 100), 0u);  // past the end: a short read
  EXPECT_EQ(n, 0u);
  n = 8;
  EXPECT_EQ(f->ReadAt(buf, n, -1), 0u);  // a failed seek leaves n alone
  EXPECT_EQ(n, 8u);
  EXPECT_FALSE(f->Write(data, 1));  // opened for reading
  bool is_folder = true;
  EXPECT_TRUE(fs->FindEntry(path, is_folder));
  EXPECT_FALSE(is_folder);
  EXPECT_FALSE(f->OpenRead(pack::PackagePath(dir / "missing")));
}

}  // namespace
}  // namespace kestrel
