#include "installengine/installrecord.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "package/identity.h"
#include "sysutil/winname.h"

namespace kestrel {
namespace {

std::optional<InstallRecord> Decode(std::span<const std::uint8_t> bytes) {
  InstallRecord r;
  if (!DecodeInstallRecord(bytes, r)) return std::nullopt;
  return r;
}

InstallRecord Sample() {
  InstallRecord r;
  r.identity = "com.brimlow.tool";
  r.displayname = "Brimlow Tool";
  r.exename = "tool.exe";
  r.version = "2.1";
  r.installfolder = u"C:\\Program Files\\Брімлоу 测试";
  r.files = {{u"\\tool.exe", 1234, 0xDEADBEEF, kFileHasCrc},
             {u"\\data\\a.bin", 5, 0, 0},
             {u"\\data\\deep\\" + std::u16string(200, u'x') + u".txt", 1, 7, kFileHasCrc}};
  r.folders = {u"C:\\Program Files\\Брімлоу 测试", u"C:\\Program Files\\Брімлоу 测试\\data"};
  r.uninstaller = u"\\Uninstall com.brimlow.tool.exe";
  r.shortcuts = {u"C:\\Users\\me\\Desktop\\Brimlow Tool.lnk"};
  r.keys = {{RegRoot::kLocalMachine, "software\\x\\app paths\\tool.exe"}};
  r.services = {"BrimlowSvc"};
  r.assocext = ".brt";
  r.assocclass = "Kestrel.BrimlowTool.1a2b3c4d";
  r.appdatafolder = "Brimlow";
  r.programgroup = u"\\Brimlow";
  r.language = std::string("\x02\0A\0c\0", 6) + "\x01\x02" + "de";
  return r;
}

// Everything a record could make the uninstall remove, as one set of texts.
std::set<std::u16string> Removable(const InstallRecord& r) {
  std::set<std::u16string> out;
  for (const auto& f : r.files) out.insert(u"f" + UpcaseName(r.FullPath(f.path)));
  for (const auto& f : r.folders) out.insert(u"d" + UpcaseName(f));
  for (const auto& l : r.shortcuts) out.insert(u"l" + UpcaseName(l));
  if (!r.uninstaller.empty()) out.insert(u"u" + UpcaseName(r.FullPath(r.uninstaller)));
  for (const auto& [root, k] : r.keys)
    out.insert(u"k" + std::u16string(1, char16_t(u'0' + int(root))) +
               std::u16string(k.begin(), k.end()));
  for (const auto& s : r.services) out.insert(u"s" + std::u16string(s.begin(), s.end()));
  if (!r.assocext.empty())
    out.insert(u"a" + std::u16string(r.assocext.begin(), r.assocext.end()) + u"|" +
               std::u16string(r.assocclass.begin(), r.assocclass.end()));
  return out;
}

TEST(InstallRecord, RoundTripsEveryEntry) {
  const InstallRecord r = Sample();
  const auto bytes = EncodeInstallRecord(r);
  const auto back = Decode(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->identity, r.identity);
  EXPECT_EQ(back->displayname, r.displayname);
  EXPECT_EQ(back->version, r.version);
  EXPECT_EQ(back->installfolder, r.installfolder);
  EXPECT_EQ(back->appdatafolder, r.appdatafolder);
  EXPECT_EQ(back->programgroup, r.programgroup);
  EXPECT_EQ(back->language, r.language);
  ASSERT_EQ(back->files.size(), 3u);
  EXPECT_EQ(back->files[0].size, 1234u);
  EXPECT_EQ(back->files[0].crc, 0xDEADBEEFu);
  EXPECT_EQ(back->files[2].path, r.files[2].path);
  EXPECT_EQ(Removable(*back), Removable(r));
}

// Damage anywhere (a changed byte, a cut, a byte added) never yields a record that removes
// more than the one written: the record is refused whole.
TEST(InstallRecord, DamageAtEveryByteNeverWidensWhatIsRemoved) {
  const InstallRecord r = Sample();
  const auto bytes = EncodeInstallRecord(r);
  const std::set<std::u16string> allowed = Removable(r);
  auto narrower = [&](const std::optional<InstallRecord>& d) {
    if (!d) return true;
    for (const auto& x : Removable(*d)) {
      if (!allowed.count(x)) return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (std::uint8_t x : {0x01, 0x20, 0x80, 0xFF}) {
      auto damaged = bytes;
      damaged[i] ^= x;
      ASSERT_TRUE(narrower(Decode(damaged))) << "byte " << i << " ^ " << int(x);
    }
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(i));
    ASSERT_FALSE(Decode(cut)) << "cut at " << i;
  }
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(Decode(longer));
}

// A record whose CRC is right but whose entries name paths outside the folder is refused whole:
// the packer or a tool may write what it likes, the uninstall removes only what lies below.
TEST(InstallRecord, PathsThatCouldReachOutsideAreRefusedWhole) {
  const std::u16string bad[] = {u"\\..\\x",
                                u"\\a\\..\\..\\x",
                                u"x.txt",
                                u"\\a\\\\b",
                                u"\\a:b",
                                u"\\a\\b.",
                                u"\\con",
                                u"\\",
                                u"\\a\\" + std::u16string(256, u'n'),
                                u"\\a\u0001"};
  for (const auto& path : bad) {
    InstallRecord r = Sample();
    r.files.push_back({path, 1, 0, 0});
    EXPECT_FALSE(Decode(EncodeInstallRecord(r))) << std::string(path.begin(), path.end());
  }
  for (const std::u16string folder : {u"C:", u"relative\\x", u"\\\\?\\C:\\x", u"C:\\a\\..\\b"}) {
    InstallRecord r = Sample();
    r.folders.push_back(folder);
    EXPECT_FALSE(Decode(EncodeInstallRecord(r)));
  }
  InstallRecord noid = Sample();
  noid.identity.clear();
  EXPECT_FALSE(Decode(EncodeInstallRecord(noid)));
}

TEST(InstallRecord, ANewInstallationInheritsWhatTheEarlierOneMade) {
  InstallRecord earlier = Sample();
  InstallRecord now = Sample();
  now.files = {{u"\\TOOL.EXE", 99, 1, kFileHasCrc}};
  now.folders = {};  // the folders stood already
  InheritEarlierRecord(now, earlier);
  EXPECT_EQ(now.folders.size(), 2u);
  ASSERT_EQ(now.files.size(), 3u);  // tool.exe once, and the two files this one did not write
  EXPECT_EQ(now.files[0].size, 99u);
  // another folder: the earlier files are not this installation's
  InstallRecord elsewhere = Sample();
  elsewhere.installfolder = u"D:\\Tool";
  elsewhere.files = {};
  InheritEarlierRecord(elsewhere, earlier);
  EXPECT_TRUE(elsewhere.files.empty());
}

TEST(InstallRecord, FoldersDeepestFirstEachOnce) {
  std::vector<std::u16string> f = {u"C:\\A", u"C:\\A\\B\\C", u"C:\\A\\B", u"c:\\a\\b", u"C:\\A\\D"};
  SortDeepestFirst(f);
  EXPECT_EQ(f, (std::vector<std::u16string>{u"C:\\A\\B\\C", u"C:\\A\\B", u"C:\\A\\D", u"C:\\A"}));
}

TEST(ProductIdentity, NamesAndTagsAreSafe) {
  EXPECT_TRUE(IsValidProductId("com.brimlow.tool"));
  EXPECT_TRUE(IsValidProductId("Sample Tool 2"));
  for (const char* bad : {"", "..", " . ", "a\\b", "a\tb"}) EXPECT_FALSE(IsValidProductId(bad));
  EXPECT_EQ(UninstallerName("Sample Tool"), u"Uninstall Sample Tool.exe");
  // a name a file cannot hold keeps a CRC of the identity, so two identities never collide
  const std::u16string a = UninstallerTag("a/b"), b = UninstallerTag("a:b");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(u"ab-", 0), 0u);
  EXPECT_LE(UninstallerTag(std::string(200, 'x')).size(), 64u + 9u);
}

}  // namespace
}  // namespace kestrel
