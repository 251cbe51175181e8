#include "uninstall/uninstallplan.h"

#include <gtest/gtest.h>

#include "sysutil/cmfunit.h"

namespace kestrel {
namespace {

const std::vector<std::u16string> kKeep = {
    u"C:\\Windows",
    u"C:\\Program Files",
    u"C:\\Program Files (x86)",
    u"C:\\Users\\me",
    u"C:\\Users\\me\\AppData\\Roaming",
    u"C:\\Users\\me\\Desktop",
    u"C:\\Users\\me\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"};

TEST(ProtectedFolder, RootsSpecialFoldersAndTheirParentsAreKept) {
  for (const char16_t* p :
       {u"",
        u"C:",
        u"C:\\",
        u"c:/",
        u"\\",
        u"\\\\server\\share",
        u"\\\\server\\share\\",
        u"Tool",
        u"C:Tool",
        u"C:\\Windows",
        u"c:\\windows\\",
        u"C:/Program Files",
        u"C:\\PROGRAM FILES\\\\",
        u"C:\\Users",
        u"C:\\Users\\me",
        u"\\\\?\\C:\\Windows",
        u"C:\\Program Files\\Tool\\..",
        u"C:\\Program Files\\Tool\\..\\..\\Windows",
        u"C:\\Program Files\\...",
        u"C:\\Users\\me\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\"}) {
    EXPECT_TRUE(IsProtectedFolder(p, kKeep))
        << std::string(p, p + std::char_traits<char16_t>::length(p));
  }
}

TEST(ProtectedFolder, FoldersBelowThemMayGo) {
  for (const char16_t* p :
       {u"C:\\Program Files\\Tool", u"c:\\program files\\Halvard\\Tool\\", u"D:\\Apps",
        u"C:\\Users\\me\\AppData\\Roaming\\ToolSettings", u"\\\\server\\share\\Tool",
        u"C:\\Windowsx", u"C:\\Program Files (x86)\\Tool"}) {
    EXPECT_FALSE(IsProtectedFolder(p, kKeep))
        << std::string(p, p + std::char_traits<char16_t>::length(p));
  }
}

UninstallInput Input() {
  UninstallInput in;
  in.basefolder = u"C:\\Program Files\\Halvard Tool\\";
  in.exename = "tool.exe";
  in.displayname = "Halvard: Tool";
  in.programgroup = u"\\Halvard\\Tool";
  in.appdatafolder = "HalvardTool";
  in.startpath = EncodeLetterHex(in.programgroup);
  in.desktop = EncodeLetterHex(u"C:\\Users\\me\\Desktop\\Halvard Tool.lnk");
  in.programsfolder = kKeep.back();
  in.appdataroot = u"C:\\Users\\me\\AppData\\Roaming";
  in.startmenufolder = u"C:\\Users\\me\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu";
  in.keep = kKeep;
  return in;
}

TEST(UninstallPlan, WhatAnOrdinaryInstallationLeavesIsRemoved) {
  const UninstallPlan plan = PlanUninstall(Input());
  EXPECT_EQ(plan.installfolder.path, u"C:\\Program Files\\Halvard Tool");
  EXPECT_FALSE(plan.installfolder.refused);
  ASSERT_TRUE(plan.programgroup);
  EXPECT_EQ(plan.programgroup->path, kKeep.back() + u"\\Halvard\\Tool");
  EXPECT_FALSE(plan.programgroup->refused);
  EXPECT_EQ(plan.vendorfolder, kKeep.back() + u"\\Halvard");
  ASSERT_TRUE(plan.settings);
  EXPECT_EQ(plan.settings->path, u"C:\\Users\\me\\AppData\\Roaming\\HalvardTool");
  EXPECT_FALSE(plan.settings->refused);
  EXPECT_EQ(plan.desktoplink, u"C:\\Users\\me\\Desktop\\Halvard Tool.lnk");
  EXPECT_EQ(plan.startmenulink,
            u"C:\\Users\\me\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Halvard Tool.lnk");
  using K = std::pair<RegRoot, std::string>;
  const std::vector<K> keys = {
      {RegRoot::kLocalMachine,
       "software\\microsoft\\windows\\currentversion\\uninstall\\Halvard: Tool"},
      {RegRoot::kLocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\tool.exe"},
      {RegRoot::kCurrentUser, "software\\microsoft\\windows\\currentversion\\run\\tool.exe"},
      {RegRoot::kCurrentUser, "software\\Halvard\\Tool"}};
  EXPECT_EQ(plan.keytrees, keys);
}

TEST(UninstallPlan, DangerousRecordedFoldersAreRefused) {
  UninstallInput in = Input();
  in.basefolder = u"C:\\Program Files\\";  // installed into Program Files itself
  in.programgroup = u"\\";                 // would name the whole Programs folder
  in.appdatafolder = "..";
  UninstallPlan plan = PlanUninstall(in);
  EXPECT_TRUE(plan.installfolder.refused);
  ASSERT_TRUE(plan.programgroup);
  EXPECT_TRUE(plan.programgroup->refused);
  ASSERT_TRUE(plan.settings);
  EXPECT_TRUE(plan.settings->refused);

  in.basefolder = u"C:\\";
  EXPECT_TRUE(PlanUninstall(in).installfolder.refused);
  in.basefolder = u"";
  EXPECT_TRUE(PlanUninstall(in).installfolder.refused);
}

TEST(UninstallPlan, NothingRecordedNothingPlanned) {
  UninstallInput in = Input();
  in.programgroup.clear();
  in.appdatafolder.clear();
  in.desktop.clear();
  in.startpath.clear();
  in.exename.clear();
  in.displayname.clear();
  const UninstallPlan plan = PlanUninstall(in);
  EXPECT_FALSE(plan.programgroup);
  EXPECT_FALSE(plan.settings);
  EXPECT_TRUE(plan.desktoplink.empty());
  EXPECT_TRUE(plan.keytrees.empty());  // never the parent keys of every product
}

TEST(UninstallPlan, PerUserGroupKeyNeverReducesToSoftware) {
  EXPECT_EQ(PerUserGroupKey(EncodeLetterHex(u"\\Halvard\\Tool")), "software\\Halvard\\Tool");
  EXPECT_EQ(PerUserGroupKey(EncodeLetterHex(u"Tool\\")), "software\\Tool");
  EXPECT_EQ(PerUserGroupKey(EncodeLetterHex(u"\\\\A//B")), "software\\A\\B");
  EXPECT_EQ(PerUserGroupKey(EncodeLetterHex(u"\\")), "");
  EXPECT_EQ(PerUserGroupKey(EncodeLetterHex(u"\\..")), "");
  EXPECT_EQ(PerUserGroupKey(EncodeLetterHex(u"\\A\\..\\B")), "");
  EXPECT_EQ(PerUserGroupKey("AAGBA"), "");  // not letter-hex
  EXPECT_EQ(PerUserGroupKey(""), "");
}

TEST(UninstallPlan, OnlyTheInstallersClassKeyIsRemoved) {
  EXPECT_EQ(ClassKeyToRemove("Brimlow.MXA"), "Brimlow.MXA");
  EXPECT_FALSE(ClassKeyToRemove(""));
  EXPECT_FALSE(ClassKeyToRemove("txtfile"));
}

}  // namespace
}  // namespace kestrel
