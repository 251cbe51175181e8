// The folder dialog's layout rules.
#include <gtest/gtest.h>

#include "wizard/layout.h"

namespace kestrel {
namespace {

DirGeometry LaidOut(int dpi) {
  DirGeometry g = DirDesignGeometry(dpi);
  g[DirCtl::Panel1] = DirClientBox(dpi);  // the panel fills the client area
  ApplyDirLayout(g, dpi);
  return g;
}

TEST(DirLayout, TreeAboveButtonsAt96Dpi) {
  EXPECT_EQ(DirClientBox(96), (Box{0, 0, 271, 310}));
  DirGeometry g = LaidOut(96);
  EXPECT_EQ(g[DirCtl::directory], (Box{6, 6, 259, 267}));  // 310 - 25 - 18
  EXPECT_EQ(g[DirCtl::cancel], (Box{190, 279, 75, 25}));   // right edge 6 from the panel's
  EXPECT_EQ(g[DirCtl::ok], (Box{109, 279, 75, 25}));       // 6 to the left of Cancel
  // the design already matches the layout, so the first paint does not jump
  DirGeometry d = DirDesignGeometry(96);
  for (DirCtl c : {DirCtl::directory, DirCtl::ok, DirCtl::cancel}) EXPECT_EQ(d[c], g[c]);
}

TEST(DirLayout, FollowsThePanelAndEarlierRows) {
  DirGeometry g = DirDesignGeometry(96);
  g[DirCtl::Panel1] = {0, 0, 400, 500};
  g[DirCtl::ok].height = 40;     // the tree leaves room for OK's height...
  g[DirCtl::cancel].width = 90;  // ...and OK stands beside Cancel, whatever its width
  ApplyDirLayout(g, 96);
  EXPECT_EQ(g[DirCtl::directory], (Box{6, 6, 388, 442}));  // 500 - 40 - 18
  EXPECT_EQ(g[DirCtl::cancel], (Box{304, 454, 90, 25}));   // 400 - 90 - 6; 6 + 442 + 6
  EXPECT_EQ(g[DirCtl::ok], (Box{223, 454, 75, 40}));       // 304 - 75 - 6, Cancel's top
}

TEST(DirLayout, ScalesWithTheDisplayDensity) {
  EXPECT_EQ(DirClientBox(144), (Box{0, 0, 407, 465}));
  DirGeometry g = LaidOut(144);
  EXPECT_EQ(g[DirCtl::directory], (Box{9, 9, 389, 400}));  // 465 - 38 - 27
  EXPECT_EQ(g[DirCtl::cancel], (Box{285, 418, 113, 38}));
  EXPECT_EQ(g[DirCtl::ok], (Box{163, 418, 113, 38}));
  // the bottom margin scales like the others
  EXPECT_EQ(465 - (g[DirCtl::ok].top + g[DirCtl::ok].height), 9);
}

TEST(DirLayout, ControlIdsAvoidTheWizardsAndTheDialogKeys) {
  for (std::size_t i = 0; i < kDirCtlCount; ++i) {
    const int id = DirCtlId(DirCtl(i));
    // above the wizard's, and so far from IDOK (1) and IDCANCEL (2): Escape reaches no button
    EXPECT_GE(id, kWizCtlIdBase + static_cast<int>(kWizCtlCount)) << kDirCtlNames[i];
  }
}

}  // namespace
}  // namespace kestrel
