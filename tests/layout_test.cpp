#include "wizard/layout.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

WizardGeometry LaidOut(int dpi) {
  WizardGeometry g = DesignGeometry(dpi);
  ApplyWizardLayout(g, dpi);
  return g;
}

TEST(WizardLayout, ButtonsAndPagesAt96Dpi) {
  WizardGeometry g = LaidOut(96);
  EXPECT_EQ(g[WizCtl::mainback], (Box{0, 0, 502, 357}));
  EXPECT_EQ(g[WizCtl::pages], (Box{6, 5, 490, 314}));  // 357 - 26 - 17
  EXPECT_EQ(g[WizCtl::welcomepage], (Box{4, 4, 482, 306}));
  EXPECT_EQ(g[WizCtl::destinationpage], g[WizCtl::welcomepage]);
  EXPECT_EQ(g[WizCtl::cancel], (Box{415, 325, 81, 26}));
  EXPECT_EQ(g[WizCtl::next], (Box{328, 325, 81, 26}));
  EXPECT_EQ(g[WizCtl::back], (Box{247, 325, 81, 26}));  // touches Next
  EXPECT_EQ(g[WizCtl::finish], g[WizCtl::next]);
}

TEST(WizardLayout, ContentColumnFollowsTheSidePicture) {
  WizardGeometry g = DesignGeometry(96);
  g[WizCtl::Image1].width = 200;  // a wider picture moves every text column
  ApplyWizardLayout(g, 96);
  EXPECT_EQ(g[WizCtl::welcometitle].left, 216);
  EXPECT_EQ(g[WizCtl::welcometitle].width, 482 - 216 - 2);
  EXPECT_EQ(g[WizCtl::installingtitle].left, 216);
  EXPECT_EQ(g[WizCtl::uninstallfinishlabel].width, 482 - 216 - 16);
  // the licence page has no picture and keeps its own margin
  EXPECT_EQ(g[WizCtl::licensetitle].left, 16);
}

TEST(WizardLayout, RowsUseHeightsSetByEarlierRows) {
  WizardGeometry g = LaidOut(96);
  EXPECT_EQ(g[WizCtl::welcometitle], (Box{147, 16, 333, 40}));
  EXPECT_EQ(g[WizCtl::welcomelabel].top, 64);
  EXPECT_EQ(g[WizCtl::welcomelabel].width, 319);
  EXPECT_EQ(g[WizCtl::clicknext1].top, 306 - g[WizCtl::clicknext1].height - 16);

  const Box& lt = g[WizCtl::licensetitle];
  const Box& ll = g[WizCtl::licenselabel];
  const Box& lic = g[WizCtl::license];
  const Box& agree = g[WizCtl::agree];
  EXPECT_EQ(ll.top, lt.top + lt.height + 16);
  EXPECT_EQ(lic.top, ll.top + ll.height + 8);
  EXPECT_EQ(lic.width, 482 - 16 - 16);
  EXPECT_EQ(lic.height, 306 - lic.top - agree.height - 32);
  EXPECT_EQ(agree.top, lic.top + lic.height + 16);
  EXPECT_EQ(agree.top + agree.height, 306 - 16);  // the box ends 16 above the sheet's bottom

  const Box& ipl = g[WizCtl::installpathlabel];
  const Box& ip = g[WizCtl::installpath];
  const Box& ch = g[WizCtl::change];
  EXPECT_EQ(ipl.top, g[WizCtl::welcomelabel].top);
  EXPECT_EQ(ip.top, ipl.top + ipl.height + 8);
  EXPECT_EQ(ch.left, ip.left + ip.width + 8);
  EXPECT_EQ(ch.left + ch.width, 482 - 16);  // the Change button ends at the right margin
  EXPECT_EQ(ch.top, ip.top);
  EXPECT_EQ(g[WizCtl::clicknext2].top, g[WizCtl::clicknext1].top);
  EXPECT_EQ(g[WizCtl::clicknext2].width, ipl.width);

  EXPECT_EQ(g[WizCtl::installinglabel].top, ipl.top);
  EXPECT_EQ(g[WizCtl::installprogress].top,
            g[WizCtl::installinglabel].top + g[WizCtl::installinglabel].height + 8);

  const Box& fl = g[WizCtl::finishlabel];
  EXPECT_EQ(g[WizCtl::launch],
            (Box{fl.left + 24, fl.top + fl.height + 32, fl.width, g[WizCtl::launch].height}));
  EXPECT_EQ(g[WizCtl::readme].top, g[WizCtl::launch].top + 32);
  EXPECT_EQ(g[WizCtl::readme].left, g[WizCtl::launch].left);
  EXPECT_EQ(g[WizCtl::clickfinish].top, g[WizCtl::clicknext2].top);
  EXPECT_EQ(g[WizCtl::clickfinish2].left, g[WizCtl::clicknext1].left);
}

TEST(WizardLayout, LongerTextsGetRoomWithoutMovingTheDesign) {
  for (int dpi : {96, 144}) {
    SCOPED_TRACE(dpi);
    const WizardGeometry laid = LaidOut(dpi);
    WizardGeometry g = laid;
    MakeRoomForTexts(g, dpi, false);
    for (WizCtl c : {WizCtl::clicknext1, WizCtl::clicknext2, WizCtl::clicknext3,
                     WizCtl::clickfinish, WizCtl::clickfinish2}) {
      // the first line stays where it was; the second ends inside the page
      EXPECT_EQ(g[c].top, laid[c].top);
      EXPECT_EQ(g[c].height, laid[c].height + ScaleToDpi(13, dpi));
      EXPECT_LE(g[c].top + g[c].height, g[WizCtl::welcomepage].height);
    }
    EXPECT_EQ(g[WizCtl::installinglabel], laid[WizCtl::installinglabel]);
    // a stopped run's label reaches down to the bar's foot
    MakeRoomForTexts(g, dpi, true);
    const Box& bar = g[WizCtl::installprogress];
    EXPECT_EQ(g[WizCtl::installinglabel].top + g[WizCtl::installinglabel].height,
              bar.top + bar.height);
  }
}

TEST(WizardLayout, UnmovedControlsKeepTheirDesign) {
  WizardGeometry design = DesignGeometry(96);
  WizardGeometry g = LaidOut(96);
  EXPECT_EQ(g[WizCtl::welcometitle2], (Box{144, 32, 337, 28}));
  EXPECT_EQ(g[WizCtl::note], design[WizCtl::note]);
  EXPECT_EQ(g[WizCtl::change].width, 65);
  EXPECT_EQ(g[WizCtl::change].height, 22);
  EXPECT_EQ(g[WizCtl::Image3], (Box{0, 0, 131, 306}));
  // the layout is stable: running it again changes nothing
  WizardGeometry again = g;
  ApplyWizardLayout(again, 96);
  for (std::size_t i = 0; i < kWizCtlCount; ++i) {
    EXPECT_EQ(again[static_cast<WizCtl>(i)], g[static_cast<WizCtl>(i)]) << kWizCtlNames[i];
  }
}

// The password page sits in the destination page's grid at both densities.
TEST(WizardLayout, PasswordPageFollowsTheDestinationPage) {
  for (int dpi : {96, 144}) {
    SCOPED_TRACE(dpi);
    auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
    WizardGeometry g = LaidOut(dpi);
    EXPECT_EQ(g[WizCtl::passwordpage], g[WizCtl::destinationpage]);
    EXPECT_EQ(g[WizCtl::Image5], g[WizCtl::Image4]);
    EXPECT_EQ(g[WizCtl::passwordtitle], g[WizCtl::destinationtitle]);
    const Box& label = g[WizCtl::passwordlabel];
    const Box& prompt = g[WizCtl::passwordprompt];
    const Box& box = g[WizCtl::password];
    EXPECT_EQ(label.left, g[WizCtl::installpathlabel].left);
    EXPECT_EQ(label.top, g[WizCtl::installpathlabel].top);
    EXPECT_EQ(label.width, g[WizCtl::installpathlabel].width);
    EXPECT_EQ(prompt.top, label.top + label.height + s(12));
    EXPECT_EQ(box.top, prompt.top + prompt.height + s(4));
    EXPECT_EQ(box.left, g[WizCtl::installpath].left);
    EXPECT_EQ(box.width, g[WizCtl::installpath].width);
    EXPECT_EQ(box.height, g[WizCtl::installpath].height);
    EXPECT_EQ(g[WizCtl::clicknext3], g[WizCtl::clicknext2]);
    EXPECT_LT(box.top + box.height, g[WizCtl::clicknext3].top);
  }
  WizardGeometry g = LaidOut(96);
  EXPECT_EQ(g[WizCtl::password], (Box{147, 133, 246, 21}));
  EXPECT_EQ(LaidOut(144)[WizCtl::password], (Box{221, 200, 368, 32}));
}

TEST(WizardLayout, ScalesWithTheDisplayDensity) {
  EXPECT_EQ(ScaleToDpi(502, 144), 753);
  EXPECT_EQ(ScaleToDpi(81, 120), 101);  // 101.25 rounds down
  EXPECT_EQ(ScaleToDpi(6, 120), 8);     // 7.5 rounds up
  WizardGeometry g = LaidOut(144);
  EXPECT_EQ(FormClientBox(144), (Box{0, 0, 753, 536}));
  EXPECT_EQ(g[WizCtl::cancel].width, 122);
  EXPECT_EQ(g[WizCtl::cancel].left, 753 - 122 - 9);
  EXPECT_EQ(g[WizCtl::pages].height, 536 - 39 - 26);
  EXPECT_EQ(g[WizCtl::welcometitle].left, 197 + 24);
  // every control stays inside its sheet's width, apart from the launch/readme boxes whose
  // width follows the finish label while they start further right
  for (WizCtl c :
       {WizCtl::welcomelabel, WizCtl::license, WizCtl::change, WizCtl::installprogress}) {
    const Box& b = g[c];
    EXPECT_LE(b.left + b.width, g[WizCtl::welcomepage].width) << kWizCtlNames[int(c)];
  }
}

}  // namespace
}  // namespace kestrel
