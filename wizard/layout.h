// Geometry of the wizard form: its design-time boxes and the layout rules that place the
// controls whenever the page changes. Pure arithmetic, so the rules are testable off Windows.
//
// Every box is relative to its parent window: the sheets to `pages`, `pages` and the buttons to
// `mainback`, every other control to its sheet. Pixel values are those at 96 DPI; at other
// densities each constant is scaled, so the form keeps its proportions.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "toolkit/box.h"

namespace kestrel {

// Every control of the wizard form, sheets included. The order is the creation order.
enum class WizCtl : int {
  mainback,
  pages,
  welcomepage,
  licensepage,
  installingpage,
  finishpage,
  uninstallfinishpage,
  destinationpage,
  finish,
  back,
  next,
  cancel,
  welcometitle,
  welcomelabel,
  note,
  clicknext1,
  Image3,
  welcometitle2,
  licensetitle,
  licenselabel,
  license,
  agree,
  installinglabel,
  installingtitle,
  Image1,
  installprogress,
  finishtitle,
  finishlabel,
  clickfinish,
  Image2,
  launch,
  readme,
  uninstallfinishtitle,
  uninstallfinishlabel,
  clickfinish2,
  uninstallimage,
  installpathlabel,
  destinationtitle,
  clicknext2,
  Image4,
  installpath,
  change,
  // the password page, shown only for packages keyed by a password
  passwordpage,
  passwordtitle,
  passwordlabel,
  passwordprompt,
  password,
  clicknext3,
  Image5,
  // the choice between every user and one, for packages that install either way
  scopepage,
  scopetitle,
  scopelabel,
  allusers,
  justme,
  scopenote,
  clicknext4,
  Image6,
  inusepage,
  inusetitle,
  inuselabel,
  inuselist,
  closeapps,
  keepapps,
  inusenote,
  clicknext5,
  Image7,
  kCount
};

inline constexpr std::size_t kWizCtlCount = static_cast<std::size_t>(WizCtl::kCount);

// Names as the controls are known to code and to the test driver, in WizCtl order.
inline constexpr std::array<std::string_view, kWizCtlCount> kWizCtlNames = {"mainback",
                                                                            "pages",
                                                                            "welcomepage",
                                                                            "licensepage",
                                                                            "installingpage",
                                                                            "finishpage",
                                                                            "uninstallfinishpage",
                                                                            "destinationpage",
                                                                            "finish",
                                                                            "back",
                                                                            "next",
                                                                            "cancel",
                                                                            "welcometitle",
                                                                            "welcomelabel",
                                                                            "note",
                                                                            "clicknext1",
                                                                            "Image3",
                                                                            "welcometitle2",
                                                                            "licensetitle",
                                                                            "licenselabel",
                                                                            "license",
                                                                            "agree",
                                                                            "installinglabel",
                                                                            "installingtitle",
                                                                            "Image1",
                                                                            "installprogress",
                                                                            "finishtitle",
                                                                            "finishlabel",
                                                                            "clickfinish",
                                                                            "Image2",
                                                                            "launch",
                                                                            "readme",
                                                                            "uninstallfinishtitle",
                                                                            "uninstallfinishlabel",
                                                                            "clickfinish2",
                                                                            "uninstallimage",
                                                                            "installpathlabel",
                                                                            "destinationtitle",
                                                                            "clicknext2",
                                                                            "Image4",
                                                                            "installpath",
                                                                            "change",
                                                                            "passwordpage",
                                                                            "passwordtitle",
                                                                            "passwordlabel",
                                                                            "passwordprompt",
                                                                            "password",
                                                                            "clicknext3",
                                                                            "Image5",
                                                                            "scopepage",
                                                                            "scopetitle",
                                                                            "scopelabel",
                                                                            "allusers",
                                                                            "justme",
                                                                            "scopenote",
                                                                            "clicknext4",
                                                                            "Image6",
                                                                            "inusepage",
                                                                            "inusetitle",
                                                                            "inuselabel",
                                                                            "inuselist",
                                                                            "closeapps",
                                                                            "keepapps",
                                                                            "inusenote",
                                                                            "clicknext5",
                                                                            "Image7"};

// Window control IDs: a fixed base plus the WizCtl index, so a driver can find controls by name.
inline constexpr int kWizCtlIdBase = 1000;
constexpr int WizCtlId(WizCtl c) {
  return kWizCtlIdBase + static_cast<int>(c);
}

// Rounded like MulDiv: v * dpi / 96.
constexpr int ScaleToDpi(int v, int dpi) {
  long long p = static_cast<long long>(v) * dpi;
  return static_cast<int>(p >= 0 ? (p + 48) / 96 : -((-p + 48) / 96));
}

class WizardGeometry {
 public:
  Box& operator[](WizCtl c) { return boxes_[static_cast<std::size_t>(c)]; }
  const Box& operator[](WizCtl c) const { return boxes_[static_cast<std::size_t>(c)]; }

 private:
  std::array<Box, kWizCtlCount> boxes_{};
};

// The client area of the form: 502 x 357 at 96 DPI.
Box FormClientBox(int dpi);
// The form as designed (before any layout run), scaled to dpi.
WizardGeometry DesignGeometry(int dpi);
// The border that our page control keeps around its sheets.
int PageInset(int dpi);
// Places the sheets inside `pages` and aligns the side pictures to their sheets' left edge.
void PlaceSheets(WizardGeometry& g, int dpi);
// The wizard's layout rules, applied row by row; each row sees the values earlier rows set.
void ApplyWizardLayout(WizardGeometry& g, int dpi);

// Room for texts longer than the design's English ones (a translation, a long product name),
// given where the controls are placed, not in the rows, so the rows keep reading the design's
// heights: the lines at a page's foot take a second line, downwards into the page's margin (a
// one-line text stands exactly where it did); and once a run has stopped, its status label also
// takes the progress bar's place, which the wizard then hides.
void MakeRoomForTexts(WizardGeometry& g, int dpi, bool stopped);

// ---- The folder dialog `Tdir` ----------------------------------------------------------------
// Its four controls: `Panel1` fills the client area and holds the other three, whose boxes are
// relative to it.

enum class DirCtl : int { Panel1, directory, ok, cancel, kCount };

inline constexpr std::size_t kDirCtlCount = static_cast<std::size_t>(DirCtl::kCount);
inline constexpr std::array<std::string_view, kDirCtlCount> kDirCtlNames = {"Panel1", "directory",
                                                                            "ok", "cancel"};

// IDs clear of the wizard's and of IDOK/IDCANCEL, so that Escape reaches no button.
inline constexpr int kDirCtlIdBase = 1100;
constexpr int DirCtlId(DirCtl c) {
  return kDirCtlIdBase + static_cast<int>(c);
}

class DirGeometry {
 public:
  Box& operator[](DirCtl c) { return boxes_[static_cast<std::size_t>(c)]; }
  const Box& operator[](DirCtl c) const { return boxes_[static_cast<std::size_t>(c)]; }

 private:
  std::array<Box, kDirCtlCount> boxes_{};
};

// The dialog's client area: 271 x 310 at 96 DPI.
Box DirClientBox(int dpi);
// The dialog as designed, scaled to dpi.
DirGeometry DirDesignGeometry(int dpi);
// The dialog's layout rules (tree above, Cancel bottom right, OK to its left), in row order.
void ApplyDirLayout(DirGeometry& g, int dpi);

}  // namespace kestrel
