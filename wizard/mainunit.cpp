#include "wizard/mainunit.h"

#include <cstdint>
#include <string_view>

#include "package/pkgfile_win32.h"
#include "package/startload.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "toolkit/app.h"
#include "toolkit/jpeg.h"
#include "toolkit/msgbox.h"

namespace kestrel {
namespace {

// The side picture, an RCDATA resource of the program.
constexpr int kSidePictureId = 101;
constexpr std::string_view kAppPathsKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

std::unique_ptr<PackageFile> g_setupfile;

std::u16string Text8(const std::string& s) {
  return FromCodePage(s);
}

// Edit boxes break lines only at CR LF; a licence written with bare LFs would show as one line.
std::u16string WithCrLf(const std::u16string& text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) out.push_back(u'\r');
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace

PackageFile* SetupFile() {
  return g_setupfile.get();
}

void Triform::Create(HWND owner) {
  auto& app = ui::Application::Get();
  const Box client = FormClientBox(app.Dpi());
  CreateForm(owner, u"Kestrel", client.width, client.height, true);
  geometry_ = DesignGeometry(app.Dpi());
  CreateControls();
  FormCreate();
}

void Triform::CreateControls() {
  auto& app = ui::Application::Get();
  const HWND form = handle();
  auto id = [](WizCtl c) { return WizCtlId(c); };
  using L = ui::Label;

  mainback.Create(form, id(WizCtl::mainback));
  pages.Create(mainback.handle(), id(WizCtl::pages));
  for (auto [sheet, c] : {std::pair{&welcomepage, WizCtl::welcomepage},
                          {&licensepage, WizCtl::licensepage},
                          {&installingpage, WizCtl::installingpage},
                          {&finishpage, WizCtl::finishpage},
                          {&uninstallfinishpage, WizCtl::uninstallfinishpage},
                          {&destinationpage, WizCtl::destinationpage}}) {
    sheet->Create(pages.handle(), id(c));
  }
  const HWND mb = mainback.handle();
  finish.Create(mb, id(WizCtl::finish), u"&Finish");
  back.Create(mb, id(WizCtl::back), u"<  &Back");
  next.Create(mb, id(WizCtl::next), u"&Next  >");
  cancel.Create(mb, id(WizCtl::cancel), u"&Cancel");
  finish.SetVisible(false);
  back.SetEnabled(false);

  HWND p = welcomepage.handle();
  welcometitle.Create(p, id(WizCtl::welcometitle), u"Welcome to the...", L::kWrap);
  welcomelabel.Create(p, id(WizCtl::welcomelabel), u"", L::kWrap);
  note.Create(p, id(WizCtl::note), u"", 0);
  clicknext1.Create(p, id(WizCtl::clicknext1), u"Click 'Next' to continue.", 0);
  Image3.Create(p, id(WizCtl::Image3));
  welcometitle2.Create(p, id(WizCtl::welcometitle2), u"", L::kWrap | L::kCentre);

  p = licensepage.handle();
  licensetitle.Create(p, id(WizCtl::licensetitle), u"License Agreement", 0);
  licenselabel.Create(p, id(WizCtl::licenselabel),
                      u"Please read the following license agreement carefully.", 0);
  license.Create(p, id(WizCtl::license), true, true);
  agree.Create(p, id(WizCtl::agree),
               u"I have read and agree to the terms of the license agreement.", false);

  p = installingpage.handle();
  installinglabel.Create(p, id(WizCtl::installinglabel), u"", L::kWrap);
  installingtitle.Create(p, id(WizCtl::installingtitle), u"Installation in Progress", 0);
  Image1.Create(p, id(WizCtl::Image1));
  installprogress.Create(p, id(WizCtl::installprogress), 0, 100);

  p = finishpage.handle();
  finishtitle.Create(p, id(WizCtl::finishtitle), u"Installation Completed!", 0);
  finishlabel.Create(p, id(WizCtl::finishlabel), u"", L::kWrap);
  clickfinish.Create(p, id(WizCtl::clickfinish), u"Click 'Finish' to exit Kestrel.", 0);
  Image2.Create(p, id(WizCtl::Image2));
  launch.Create(p, id(WizCtl::launch), u"", true);
  readme.Create(p, id(WizCtl::readme), u"View the readme file.", false);

  p = uninstallfinishpage.handle();
  uninstallfinishtitle.Create(p, id(WizCtl::uninstallfinishtitle), u"Uninstall Complete!", 0);
  uninstallfinishlabel.Create(p, id(WizCtl::uninstallfinishlabel), u"", L::kWrap);
  clickfinish2.Create(p, id(WizCtl::clickfinish2), u"Click 'Finish' to exit Kestrel.", 0);
  uninstallimage.Create(p, id(WizCtl::uninstallimage));

  p = destinationpage.handle();
  installpathlabel.Create(p, id(WizCtl::installpathlabel), u"", L::kWrap);
  destinationtitle.Create(p, id(WizCtl::destinationtitle), u"Destination", 0);
  clicknext2.Create(p, id(WizCtl::clicknext2), u"", L::kWrap);
  Image4.Create(p, id(WizCtl::Image4));
  installpath.Create(p, id(WizCtl::installpath), false, false);
  change.Create(p, id(WizCtl::change), u"Change...");

  windows_ = {&mainback,
              &pages,
              &welcomepage,
              &licensepage,
              &installingpage,
              &finishpage,
              &uninstallfinishpage,
              &destinationpage,
              &finish,
              &back,
              &next,
              &cancel,
              &welcometitle,
              &welcomelabel,
              &note,
              &clicknext1,
              &Image3,
              &welcometitle2,
              &licensetitle,
              &licenselabel,
              &license,
              &agree,
              &installinglabel,
              &installingtitle,
              &Image1,
              &installprogress,
              &finishtitle,
              &finishlabel,
              &clickfinish,
              &Image2,
              &launch,
              &readme,
              &uninstallfinishtitle,
              &uninstallfinishlabel,
              &clickfinish2,
              &uninstallimage,
              &installpathlabel,
              &destinationtitle,
              &clicknext2,
              &Image4,
              &installpath,
              &change};

  for (ui::Window* w : windows_) w->SetFont(app.NormalFont());
  for (ui::Window* w : {&welcometitle, &welcometitle2, &licensetitle, &installingtitle,
                        &finishtitle, &uninstallfinishtitle, &destinationtitle}) {
    w->SetFont(app.BoldFont());
  }
  Image3.SetPicture(ui::LoadJpegResource(app.instance(), kSidePictureId));
  for (std::size_t i = 0; i < kWizCtlCount; ++i) windows_[i]->SetBounds(geometry_[WizCtl(i)]);
  SetActivePage(WizCtl::welcomepage);
}

void Triform::SetActivePage(WizCtl sheet) {
  activepage_ = sheet;
  for (auto* s : {&welcomepage, &licensepage, &installingpage, &finishpage, &uninstallfinishpage,
                  &destinationpage}) {
    s->SetVisible(s == &Control(sheet));
  }
  pagesChange();
}

void Triform::FormCreate() {
  installprogress.SetDoubleBuffered();
  installfailed_ = false;
  uninstallmode_ = ParamStr(1) == kUninstallSwitch;  // exactly, letter case included
  FormResize();
  if (uninstallmode_) {
    UninstallModeCreate();
  } else {
    InstallModeCreate();
  }
}

void Triform::Fatal(std::u16string_view message) {
  ui::ErrorBox(handle(), message);
  if (g_setupfile) g_setupfile->Close();
  ui::Application::Get().Terminate(1);
}

void Triform::InstallModeCreate() {
  const std::u16string path = ProgramPath();
  g_setupfile = SystemFileSystem().NewFile();
  if (!g_setupfile->OpenRead(path)) {
    Fatal(u"Unable to find Setup Files in " + path);
    return;
  }
  basefolder_ = ProgramFilesFolder();

  switch (LoadStartupPackage(*g_setupfile, config_, licensetext_)) {
    case StartupLoad::kOk:
      break;
    case StartupLoad::kUnreadable:
      Fatal(u"Unable to read from setup file!");
      return;
    case StartupLoad::kNoPackage:
      Fatal(u"No install files attached!");
      return;
  }
  // setupfile stays open until the program ends
}

void Triform::UninstallModeCreate() {
  std::string exename = ToCodePage(ParamStr(2));
  if (exename.size() > 255) exename.resize(255);
  WriteShort(config_.exename, exename);

  const std::string key = std::string(kAppPathsKey) + exename;
  std::string displayname = ReadMachineString(key, "Displayname", "");
  if (displayname.size() > 255) displayname.resize(255);
  WriteShort(config_.displayname, displayname);

  basefolder_ = DecodeLetterHex(ReadMachineString(key, "Path", ""));

  const std::u16string group = DecodeLetterHex(ReadMachineString(key, "Startpath", ""));
  std::size_t units = 0;
  for (; units < group.size() && units < 520 && group[units] != 0; ++units) {
    config_.programgroup.units[units] = group[units];
  }
  for (; units < kWideTextUnits; ++units) config_.programgroup.units[units] = 0;

  std::string appdata = ReadMachineString(key, "AppData", "");
  if (appdata.size() > 255) appdata.resize(255);
  WriteShort(config_.appdatafolder, appdata);

  if (basefolder_.empty() || displayname.empty()) {
    Fatal(u"Could not find uninstall information for this program.");
  }
}

void Triform::ShowWizard() {
  FormShow();
  Show();
}

void Triform::FormShow() {
  for (ui::Image* i : {&Image1, &Image2, &Image4, &uninstallimage}) i->SetPicture(Image3.picture());

  const std::u16string n = Text8(ReadShort(config_.displayname));
  if (uninstallmode_) {
    SetText(n + u" Uninstaller - Kestrel");
    welcometitle.SetText(u"Welcome to the " + n + u" Uninstaller!");
    welcometitle2.SetVisible(false);
    welcomelabel.SetText(u"Kestrel will uninstall " + n + u" from your computer.");
    clicknext1.SetText(u"Click 'Next' to begin uninstalling " + n + u".");
    uninstallfinishlabel.SetText(n + u" was successfully removed from your computer.");
    return;
  }
  const std::u16string v = Text8(ReadShort(config_.version));
  SetText(n + u" Installer - Kestrel");
  welcometitle.SetText(u"Welcome to the...");
  welcometitle2.SetText(n + u" installer!");
  welcomelabel.SetText(u"Kestrel will install " + n + u" " + v +
                       u" on your computer.  It is recommended that you close all other "
                       u"applications before continuing.");
  license.SetText(WithCrLf(Text8(licensetext_)));
  installpathlabel.SetText(u"Install " + n + u" to:");
  // joined as UTF-16, then shown as 8-bit text
  const std::u16string joined =
      StripTrailingBackslash(basefolder_) + ReadWide(config_.installfolder);
  installpath.SetText(FromCodePage(ToCodePage(joined)));
  clicknext2.SetText(u"Click 'Next' to begin installing " + n + u".");
  installinglabel.SetText(u"Installing " + n + u"...");
  finishlabel.SetText(n + u" was successfully installed on your computer.");
  launch.SetText(u"Run " + n + u".");
}

void Triform::FormResize() {
  const int dpi = ui::Application::Get().Dpi();
  geometry_[WizCtl::mainback] = FormClientBox(dpi);  // the panel fills the client area
  ApplyWizardLayout(geometry_, dpi);
  for (std::size_t i = 0; i < kWizCtlCount; ++i) windows_[i]->SetBounds(geometry_[WizCtl(i)]);
}

}  // namespace kestrel
