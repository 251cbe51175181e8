#include "sysutil/treeremoval.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_tree.h"

namespace kestrel {
namespace {

using testing::FakeTree;

// A product folder with a long path, a junction to a folder outside and a file link: the walk
// removes every entry it listed, the links as links, and never reaches what they point at.
TEST(TreeRemoval, RemovesEverythingListedAndLinksAsLinks) {
  FakeTree t;
  const std::u16string root = u"C:\\Apps\\Tool";
  const std::u16string deep = root + u"\\" + std::u16string(120, u'd') + u"\\" +
                              std::u16string(120, u'e') + u"\\" + std::u16string(100, u'f');
  t.Add(deep + u"\\file.txt", EntryKind::kFile);
  t.Add(root + u"\\a.exe", EntryKind::kFile);
  t.Add(root + u"\\docs", EntryKind::kLink, true);       // junction to C:\Users\me\Documents
  t.Add(root + u"\\shortcut", EntryKind::kLink, false);  // file link
  t.Add(u"C:\\Users\\me\\Documents\\thesis.docx", EntryKind::kFile);
  t.Add(u"C:\\canary.txt", EntryKind::kFile);
  const TreeOutcome out = RemoveTree(t, root);
  EXPECT_TRUE(out.complete) << FakeTree::Narrow(out.failed) << " " << out.error;
  EXPECT_EQ(out.links, 2u);
  EXPECT_FALSE(t.Has(root));
  EXPECT_TRUE(t.Has(u"C:\\Apps"));
  EXPECT_TRUE(t.Has(u"C:\\Users\\me\\Documents\\thesis.docx"));
  EXPECT_TRUE(t.Has(u"C:\\canary.txt"));
  for (const auto& c : t.calls) EXPECT_EQ(c.find("Documents"), std::string::npos) << c;
}

TEST(TreeRemoval, RefusesWhatIsNotAFullPathAndStopsAtWhatItCannotRemove) {
  FakeTree t;
  t.Add(u"C:\\canary.txt", EntryKind::kFile);
  for (const std::u16string bad : {u"", u"Tool", u"\\Tool", u"C:", u"C:\\", u"C:Tool",
                                   u"C:\\a\\..\\b", u"\\\\?\\C:\\a", u"C:\\a\\\\b"}) {
    const TreeOutcome out = RemoveTree(t, bad);
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(out.error, kErrorInvalidName);
  }
  EXPECT_TRUE(t.calls.empty());
  // a file in use: the walk stops there, says where, and what it did not reach stays
  t.Add(u"C:\\T\\a\\busy.dll", EntryKind::kFile);
  t.nodes[u"C:\\T\\A\\BUSY.DLL"].locked = true;
  const TreeOutcome out = RemoveTree(t, u"C:\\T");
  EXPECT_FALSE(out.complete);
  EXPECT_EQ(FakeTree::Narrow(out.failed), "C:\\T\\a\\busy.dll");
  EXPECT_EQ(out.error, 32u);
  EXPECT_TRUE(t.Has(u"C:\\canary.txt"));
}

// While the walk goes, a file appears in a folder it has listed, one it listed vanishes, and a
// folder is swapped for a junction: the new file is found on a second listing, the vanished one
// is no error, and the junction is removed as a link without being entered.
TEST(TreeRemoval, AFolderThatChangesWhileItIsWalked) {
  FakeTree t;
  const std::u16string root = u"D:\\Tool";
  t.Add(root + u"\\a.txt", EntryKind::kFile);
  t.Add(root + u"\\b.txt", EntryKind::kFile);
  t.Add(root + u"\\sub\\c.txt", EntryKind::kFile);
  t.Add(u"D:\\Elsewhere\\keep.txt", EntryKind::kFile);
  int lists = 0;
  t.on_list = [&](const std::u16string& folder) {
    if (folder != root || lists++ != 0) return;
    t.Add(root + u"\\late.txt", EntryKind::kFile);  // arrives after the listing below
    t.nodes.erase(u"D:\\TOOL\\B.TXT");
  };
  const TreeOutcome out = RemoveTree(t, root);
  EXPECT_TRUE(out.complete) << FakeTree::Narrow(out.failed);
  EXPECT_FALSE(t.Has(root));
  EXPECT_TRUE(t.Has(u"D:\\Elsewhere\\keep.txt"));

  FakeTree swap;
  swap.Add(root + u"\\sub\\x.txt", EntryKind::kFile);
  swap.Add(u"D:\\Elsewhere\\keep.txt", EntryKind::kFile);
  swap.on_list = [&](const std::u16string& folder) {
    if (folder == root) {
      // the folder becomes a junction to D:\Elsewhere once its parent was listed
      swap.nodes.erase(u"D:\\TOOL\\SUB\\X.TXT");
      swap.nodes[u"D:\\TOOL\\SUB"] = {EntryKind::kLink, true};
    }
  };
  const TreeOutcome swapped = RemoveTree(swap, root);
  EXPECT_TRUE(swap.Has(u"D:\\Elsewhere\\keep.txt"));
  for (const auto& c : swap.calls) EXPECT_EQ(c.find("Elsewhere"), std::string::npos) << c;
  // the listing it was given named a folder; a link by now is not entered, and the walk stops
  EXPECT_FALSE(swapped.complete);
}

}  // namespace
}  // namespace kestrel
