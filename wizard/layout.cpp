#include "wizard/layout.h"

#include <initializer_list>

namespace kestrel {
namespace {

// The form description: design-time boxes at 96 DPI. Rows the layout rewrites still carry
// sensible values, so the form looks right even before the first layout run.
struct DesignRow {
  WizCtl ctl;
  Box box;
};

constexpr int kSheetW = 482, kSheetH = 306;  // pages 490 x 314 less the page inset

constexpr DesignRow kDesign[] = {
    {WizCtl::mainback, {0, 0, 502, 357}},
    {WizCtl::pages, {6, 5, 490, 314}},
    {WizCtl::welcomepage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::licensepage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::installingpage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::finishpage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::uninstallfinishpage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::destinationpage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::finish, {328, 325, 81, 26}},
    {WizCtl::back, {247, 325, 81, 26}},
    {WizCtl::next, {328, 325, 81, 26}},
    {WizCtl::cancel, {415, 325, 81, 26}},
    // welcome
    {WizCtl::welcometitle, {147, 16, 333, 40}},
    {WizCtl::welcomelabel, {147, 64, 319, 80}},
    {WizCtl::note, {147, 160, 319, 13}},
    {WizCtl::clicknext1, {147, 277, 300, 13}},
    {WizCtl::Image3, {0, 0, 131, kSheetH}},
    {WizCtl::welcometitle2, {144, 32, 337, 28}},
    // licence
    {WizCtl::licensetitle, {16, 16, 300, 13}},
    {WizCtl::licenselabel, {16, 45, 440, 13}},
    {WizCtl::license, {16, 66, 450, 191}},
    {WizCtl::agree, {16, 273, 440, 17}},
    // installing
    {WizCtl::installinglabel, {147, 64, 319, 28}},
    {WizCtl::installingtitle, {147, 16, 300, 13}},
    {WizCtl::Image1, {0, 0, 131, kSheetH}},
    {WizCtl::installprogress, {147, 100, 319, 20}},
    // finish
    {WizCtl::finishtitle, {147, 16, 300, 13}},
    {WizCtl::finishlabel, {147, 64, 319, 40}},
    {WizCtl::clickfinish, {147, 277, 300, 13}},
    {WizCtl::Image2, {0, 0, 131, kSheetH}},
    {WizCtl::launch, {171, 136, 319, 17}},
    {WizCtl::readme, {171, 168, 319, 17}},
    // uninstall finish
    {WizCtl::uninstallfinishtitle, {147, 16, 300, 13}},
    {WizCtl::uninstallfinishlabel, {147, 64, 319, 40}},
    {WizCtl::clickfinish2, {147, 277, 300, 13}},
    {WizCtl::uninstallimage, {0, 0, 131, kSheetH}},
    // destination
    {WizCtl::installpathlabel, {147, 64, 319, 28}},
    {WizCtl::destinationtitle, {147, 16, 300, 13}},
    {WizCtl::clicknext2, {147, 277, 319, 13}},
    {WizCtl::Image4, {0, 0, 131, kSheetH}},
    {WizCtl::installpath, {147, 100, 246, 21}},
    {WizCtl::change, {401, 100, 65, 22}},
    // password
    {WizCtl::passwordpage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::passwordtitle, {147, 16, 300, 13}},
    {WizCtl::passwordlabel, {147, 64, 319, 40}},
    {WizCtl::passwordprompt, {147, 116, 319, 13}},
    {WizCtl::password, {147, 133, 246, 21}},
    {WizCtl::clicknext3, {147, 277, 319, 13}},
    {WizCtl::Image5, {0, 0, 131, kSheetH}},
    // every user or one
    {WizCtl::scopepage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::scopetitle, {147, 16, 300, 13}},
    {WizCtl::scopelabel, {147, 64, 319, 40}},
    {WizCtl::allusers, {147, 120, 319, 17}},
    {WizCtl::justme, {147, 145, 319, 17}},
    {WizCtl::scopenote, {147, 178, 319, 40}},
    {WizCtl::clicknext4, {147, 277, 319, 13}},
    {WizCtl::Image6, {0, 0, 131, kSheetH}},
    // the applications that hold files to be replaced
    {WizCtl::inusepage, {4, 4, kSheetW, kSheetH}},
    {WizCtl::inusetitle, {147, 16, 300, 13}},
    {WizCtl::inuselabel, {147, 64, 319, 27}},
    {WizCtl::inuselist, {147, 99, 319, 56}},
    {WizCtl::closeapps, {147, 167, 319, 17}},
    {WizCtl::keepapps, {147, 190, 319, 17}},
    {WizCtl::inusenote, {147, 219, 319, 40}},
    {WizCtl::clicknext5, {147, 277, 319, 13}},
    {WizCtl::Image7, {0, 0, 131, kSheetH}},
};
static_assert(std::size(kDesign) == kWizCtlCount, "every control has a design-time box");

constexpr WizCtl kSheets[] = {
    WizCtl::welcomepage,  WizCtl::licensepage,         WizCtl::installingpage,
    WizCtl::finishpage,   WizCtl::uninstallfinishpage, WizCtl::destinationpage,
    WizCtl::passwordpage, WizCtl::scopepage,           WizCtl::inusepage};
constexpr WizCtl kImages[] = {WizCtl::Image3,         WizCtl::Image1, WizCtl::Image2,
                              WizCtl::uninstallimage, WizCtl::Image4, WizCtl::Image5,
                              WizCtl::Image6,         WizCtl::Image7};

struct Row {
  WizCtl ctl;
  int gap;  // above it, at 96 DPI
};

// The pages of the content column beside the side picture: the title, the explanation where the
// other pages have theirs, then the rows, each below the one before and as wide as the
// explanation, and the line at the foot where the welcome page has its own.
void PlaceColumnPage(WizardGeometry& g, int dpi, WizCtl page, WizCtl titlectl, WizCtl labelctl,
                     std::initializer_list<Row> rows, WizCtl foot) {
  auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
  Box& title = g[titlectl];
  title.left = g[WizCtl::welcometitle].left;
  title.top = s(16);
  Box& label = g[labelctl];
  label.left = title.left;
  label.top = g[WizCtl::welcomelabel].top;
  label.width = g[page].width - label.left - s(16);
  const Box* above = &label;
  for (const Row& r : rows) {
    Box& b = g[r.ctl];
    b.left = label.left;
    b.top = above->top + above->height + s(r.gap);
    b.width = label.width;
    above = &b;
  }
  Box& f = g[foot];
  f.left = g[WizCtl::clicknext1].left;
  f.top = g[WizCtl::clicknext1].top;
  f.width = label.width;
}

// The password page: a prompt and the box below the explanation, the box as wide as the folder
// box. The choice between every user and one: the two choices and a note about the rights. The
// applications in use: their names in a list, the two choices and a note.
void PlaceColumnPages(WizardGeometry& g, int dpi) {
  using C = WizCtl;
  PlaceColumnPage(g, dpi, C::passwordpage, C::passwordtitle, C::passwordlabel,
                  {{C::passwordprompt, 12}, {C::password, 4}}, C::clicknext3);
  g[C::password].width = g[C::installpath].width;
  PlaceColumnPage(g, dpi, C::scopepage, C::scopetitle, C::scopelabel,
                  {{C::allusers, 16}, {C::justme, 8}, {C::scopenote, 16}}, C::clicknext4);
  PlaceColumnPage(g, dpi, C::inusepage, C::inusetitle, C::inuselabel,
                  {{C::inuselist, 8}, {C::closeapps, 12}, {C::keepapps, 6}, {C::inusenote, 12}},
                  C::clicknext5);
}

}  // namespace

Box FormClientBox(int dpi) {
  return {0, 0, ScaleToDpi(502, dpi), ScaleToDpi(357, dpi)};
}

int PageInset(int dpi) {
  return ScaleToDpi(4, dpi);
}

WizardGeometry DesignGeometry(int dpi) {
  WizardGeometry g;
  for (const DesignRow& r : kDesign) {
    g[r.ctl] = {ScaleToDpi(r.box.left, dpi), ScaleToDpi(r.box.top, dpi),
                ScaleToDpi(r.box.width, dpi), ScaleToDpi(r.box.height, dpi)};
  }
  return g;
}

void PlaceSheets(WizardGeometry& g, int dpi) {
  const Box& p = g[WizCtl::pages];
  const int inset = PageInset(dpi);
  for (WizCtl s : kSheets) g[s] = {inset, inset, p.width - 2 * inset, p.height - 2 * inset};
  // the side pictures are aligned to their sheet's left edge and follow its height
  for (WizCtl i : kImages) {
    Box& b = g[i];
    b.left = 0;
    b.top = 0;
    b.height = g[WizCtl::welcomepage].height;
  }
}

void ApplyWizardLayout(WizardGeometry& g, int dpi) {
  auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
  using C = WizCtl;
  const Box& mainback = g[C::mainback];

  Box& pages = g[C::pages];
  pages.left = s(6);
  pages.top = s(5);
  pages.width = mainback.width - s(12);
  pages.height = mainback.height - g[C::cancel].height - s(17);
  PlaceSheets(g, dpi);

  Box& cancel = g[C::cancel];
  cancel.left = mainback.width - cancel.width - s(6);
  cancel.top = pages.top + pages.height + s(6);
  Box& next = g[C::next];
  next.left = cancel.left - next.width - s(6);
  next.top = cancel.top;
  Box& back = g[C::back];
  back.left = next.left - back.width;  // no gap between Back and Next
  back.top = next.top;
  Box& finish = g[C::finish];
  finish.left = next.left;  // Finish stands in Next's place
  finish.top = next.top;

  const int c = g[C::Image1].left + g[C::Image1].width + s(16);  // the content column

  Box& welcometitle = g[C::welcometitle];
  welcometitle.left = c;
  welcometitle.top = s(16);
  welcometitle.width = g[C::welcomepage].width - welcometitle.left - s(2);
  Box& welcomelabel = g[C::welcomelabel];
  welcomelabel.left = welcometitle.left;
  welcomelabel.top = s(64);
  welcomelabel.width = g[C::welcomepage].width - welcomelabel.left - s(16);
  Box& clicknext1 = g[C::clicknext1];
  clicknext1.left = welcometitle.left;
  clicknext1.top = g[C::welcomepage].height - clicknext1.height - s(16);

  Box& licensetitle = g[C::licensetitle];
  licensetitle.left = s(16);
  licensetitle.top = s(16);
  Box& licenselabel = g[C::licenselabel];
  licenselabel.left = licensetitle.left;
  licenselabel.top = licensetitle.top + licensetitle.height + s(16);
  Box& license = g[C::license];
  Box& agree = g[C::agree];
  license.left = licensetitle.left;
  license.top = licenselabel.top + licenselabel.height + s(8);
  license.width = g[C::licensepage].width - license.left - s(16);
  license.height = g[C::licensepage].height - license.top - agree.height - s(32);
  agree.left = license.left;
  agree.top = license.top + license.height + s(16);

  Box& destinationtitle = g[C::destinationtitle];
  destinationtitle.left = welcometitle.left;
  destinationtitle.top = s(16);
  Box& installpathlabel = g[C::installpathlabel];
  installpathlabel.left = destinationtitle.left;
  installpathlabel.top = welcomelabel.top;
  installpathlabel.width = g[C::destinationpage].width - installpathlabel.left - s(16);
  Box& installpath = g[C::installpath];
  Box& change = g[C::change];
  installpath.left = installpathlabel.left;
  installpath.top = installpathlabel.top + installpathlabel.height + s(8);
  installpath.width = g[C::destinationpage].width - installpath.left - change.width - s(24);
  change.left = installpath.left + installpath.width + s(8);
  change.top = installpath.top;
  Box& clicknext2 = g[C::clicknext2];
  clicknext2.left = clicknext1.left;
  clicknext2.top = clicknext1.top;
  clicknext2.width = installpathlabel.width;

  Box& installingtitle = g[C::installingtitle];
  installingtitle.left = welcometitle.left;
  installingtitle.top = s(16);
  Box& installinglabel = g[C::installinglabel];
  installinglabel.left = installingtitle.left;
  installinglabel.top = installpathlabel.top;
  installinglabel.width = g[C::installingpage].width - installinglabel.left - s(16);
  Box& installprogress = g[C::installprogress];
  installprogress.left = installingtitle.left;
  installprogress.top = installinglabel.top + installinglabel.height + s(8);
  installprogress.width = g[C::installingpage].width - installprogress.left - s(16);

  Box& finishtitle = g[C::finishtitle];
  finishtitle.left = welcometitle.left;
  finishtitle.top = s(16);
  Box& finishlabel = g[C::finishlabel];
  finishlabel.left = finishtitle.left;
  finishlabel.top = s(64);
  finishlabel.width = g[C::finishpage].width - finishlabel.left - s(16);
  Box& launch = g[C::launch];
  launch.left = finishlabel.left + s(24);
  launch.top = finishlabel.top + finishlabel.height + s(32);
  launch.width = finishlabel.width;
  Box& readme = g[C::readme];
  readme.left = launch.left;
  readme.top = launch.top + s(32);
  readme.width = launch.width;
  Box& clickfinish = g[C::clickfinish];
  clickfinish.left = clicknext2.left;
  clickfinish.top = clicknext2.top;

  Box& uninstallfinishtitle = g[C::uninstallfinishtitle];
  uninstallfinishtitle.left = welcometitle.left;
  uninstallfinishtitle.top = s(16);
  Box& uninstallfinishlabel = g[C::uninstallfinishlabel];
  uninstallfinishlabel.left = uninstallfinishtitle.left;
  uninstallfinishlabel.top = s(64);
  uninstallfinishlabel.width = g[C::uninstallfinishpage].width - uninstallfinishlabel.left - s(16);
  Box& clickfinish2 = g[C::clickfinish2];
  clickfinish2.left = clicknext1.left;
  clickfinish2.top = clicknext1.top;

  PlaceColumnPages(g, dpi);
}

void MakeRoomForTexts(WizardGeometry& g, int dpi, bool stopped) {
  using C = WizCtl;
  for (C c : {C::clicknext1, C::clicknext2, C::clicknext3, C::clickfinish, C::clickfinish2}) {
    g[c].height += ScaleToDpi(13, dpi);
  }
  if (stopped) {
    const Box& bar = g[C::installprogress];
    Box& label = g[C::installinglabel];
    label.height = bar.top + bar.height - label.top;
  }
}

// ---- The folder dialog `Tdir` ----------------------------------------------------------------

namespace {

struct DirDesignRow {
  DirCtl ctl;
  Box box;
};

// Design-time boxes at 96 DPI, already in their laid-out places.
constexpr DirDesignRow kDirDesign[] = {
    {DirCtl::Panel1, {0, 0, 271, 310}},
    {DirCtl::directory, {6, 6, 259, 267}},
    {DirCtl::ok, {109, 279, 75, 25}},
    {DirCtl::cancel, {190, 279, 75, 25}},
};
static_assert(std::size(kDirDesign) == kDirCtlCount, "every control has a design-time box");

}  // namespace

Box DirClientBox(int dpi) {
  return {0, 0, ScaleToDpi(271, dpi), ScaleToDpi(310, dpi)};
}

DirGeometry DirDesignGeometry(int dpi) {
  DirGeometry g;
  for (const DirDesignRow& r : kDirDesign) {
    g[r.ctl] = {ScaleToDpi(r.box.left, dpi), ScaleToDpi(r.box.top, dpi),
                ScaleToDpi(r.box.width, dpi), ScaleToDpi(r.box.height, dpi)};
  }
  return g;
}

void ApplyDirLayout(DirGeometry& g, int dpi) {
  auto s = [dpi](int v) { return ScaleToDpi(v, dpi); };
  const Box& panel = g[DirCtl::Panel1];
  Box& directory = g[DirCtl::directory];
  Box& ok = g[DirCtl::ok];
  Box& cancel = g[DirCtl::cancel];
  directory.left = s(6);
  directory.top = s(6);
  directory.width = panel.width - s(12);
  directory.height = panel.height - ok.height - s(18);
  cancel.left = panel.width - cancel.width - s(6);
  cancel.top = directory.top + directory.height + s(6);
  ok.left = cancel.left - ok.width - s(6);
  ok.top = cancel.top;
}

}  // namespace kestrel
