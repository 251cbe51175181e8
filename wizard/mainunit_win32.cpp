#include "wizard/mainunit_win32.h"

#include <shellapi.h>

#include <cstdint>
#include <string_view>

#include "decode/sha256.h"
#include "package/integrity.h"
#include "package/pkgfile_win32.h"
#include "package/protection.h"
#include "package/startload.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/cmfunit_win32.h"
#include "sysutil/codepage.h"
#include "sysutil/elevate_win32.h"
#include "sysutil/folderguard_win32.h"
#include "sysutil/handles_win32.h"
#include "sysutil/texts.h"
#include "toolkit/app_win32.h"
#include "toolkit/msgbox_win32.h"
#include "toolkit/picture_win32.h"
#include "uninstall/uninstallsystem_win32.h"
#include "wizard/choosedir_win32.h"

namespace kestrel {
namespace {

// The side picture, an RCDATA resource of the program.
constexpr int kSidePictureId = 101;

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

Triform::Triform(SetupData& data, const WizardOptions& options, ExitStatus& status, const Log& log)
    : data_(data),
      options_(options),
      status_(status),
      log_(log),
      config_(data.config),
      licensetext_(data.licensetext),
      basefolder_(data.basefolder),
      machinebasefolder_(data.basefolder) {}

Triform::~Triform() = default;

void Triform::Create(HWND owner) {
  auto& app = ui::Application::Get();
  const Box client = FormClientBox(app.Dpi());
  CreateForm(owner, Texts::Current().brand(), client.width, client.height, true);
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
  finish.Create(mb, id(WizCtl::finish), Tr(TextId::button_finish));
  back.Create(mb, id(WizCtl::back), Tr(TextId::button_back));
  next.Create(mb, id(WizCtl::next), Tr(TextId::button_next));
  cancel.Create(mb, id(WizCtl::cancel), Tr(TextId::button_cancel));
  finish.SetVisible(false);
  back.SetEnabled(false);

  HWND p = welcomepage.handle();
  welcometitle.Create(p, id(WizCtl::welcometitle), Tr(TextId::welcome_title), L::kWrap);
  welcomelabel.Create(p, id(WizCtl::welcomelabel), u"", L::kWrap);
  note.Create(p, id(WizCtl::note), u"", 0);
  clicknext1.Create(p, id(WizCtl::clicknext1), Tr(TextId::click_next), L::kWrap);
  Image3.Create(p, id(WizCtl::Image3));
  welcometitle2.Create(p, id(WizCtl::welcometitle2), u"", L::kWrap | L::kCentre);

  p = licensepage.handle();
  licensetitle.Create(p, id(WizCtl::licensetitle), Tr(TextId::license_title), 0);
  licenselabel.Create(p, id(WizCtl::licenselabel), Tr(TextId::license_label), 0);
  license.Create(p, id(WizCtl::license), true, true);
  agree.Create(p, id(WizCtl::agree), Tr(TextId::license_agree), false);

  p = installingpage.handle();
  installinglabel.Create(p, id(WizCtl::installinglabel), u"", L::kWrap);
  installingtitle.Create(p, id(WizCtl::installingtitle), Tr(TextId::installing_title), 0);
  Image1.Create(p, id(WizCtl::Image1));
  installprogress.Create(p, id(WizCtl::installprogress), 0, 100);

  p = finishpage.handle();
  finishtitle.Create(p, id(WizCtl::finishtitle), Tr(TextId::finish_title), 0);
  finishlabel.Create(p, id(WizCtl::finishlabel), u"", L::kWrap);
  clickfinish.Create(p, id(WizCtl::clickfinish), Tr(TextId::click_finish), L::kWrap);
  Image2.Create(p, id(WizCtl::Image2));
  launch.Create(p, id(WizCtl::launch), u"", true);
  readme.Create(p, id(WizCtl::readme), Tr(TextId::finish_readme), false);

  p = uninstallfinishpage.handle();
  uninstallfinishtitle.Create(p, id(WizCtl::uninstallfinishtitle),
                              Tr(TextId::uninstall_finish_title), 0);
  uninstallfinishlabel.Create(p, id(WizCtl::uninstallfinishlabel), u"", L::kWrap);
  clickfinish2.Create(p, id(WizCtl::clickfinish2), Tr(TextId::click_finish), L::kWrap);
  uninstallimage.Create(p, id(WizCtl::uninstallimage));

  p = destinationpage.handle();
  installpathlabel.Create(p, id(WizCtl::installpathlabel), u"", L::kWrap);
  destinationtitle.Create(p, id(WizCtl::destinationtitle), Tr(TextId::destination_title), 0);
  clicknext2.Create(p, id(WizCtl::clicknext2), u"", L::kWrap);
  Image4.Create(p, id(WizCtl::Image4));
  installpath.Create(p, id(WizCtl::installpath), false, false);
  change.Create(p, id(WizCtl::change), Tr(TextId::destination_change));
  CreatePasswordPage();
  CreateScopePage();
  CreateInUsePage();

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
              &change,
              &passwordpage,
              &passwordtitle,
              &passwordlabel,
              &passwordprompt,
              &password,
              &clicknext3,
              &Image5,
              &scopepage,
              &scopetitle,
              &scopelabel,
              &allusers,
              &justme,
              &scopenote,
              &clicknext4,
              &Image6,
              &inusepage,
              &inusetitle,
              &inuselabel,
              &inuselist,
              &closeapps,
              &keepapps,
              &inusenote,
              &clicknext5,
              &Image7};

  for (ui::Window* w : windows_) w->SetFont(app.NormalFont());
  for (ui::Window* w :
       {&welcometitle, &welcometitle2, &licensetitle, &installingtitle, &finishtitle,
        &uninstallfinishtitle, &destinationtitle, &passwordtitle, &scopetitle, &inusetitle}) {
    w->SetFont(app.BoldFont());
  }
  // the vendor's picture when the package has one the system can read, else the program's own
  const std::vector<std::uint8_t>& vendor = data_.locale.picture;
  std::shared_ptr<ui::Picture> picture =
      vendor.empty() ? nullptr : ui::DecodePicture(vendor.data(), vendor.size());
  Image3.SetPicture(picture ? picture : ui::LoadPictureResource(app.instance(), kSidePictureId));
  for (std::size_t i = 0; i < kWizCtlCount; ++i) windows_[i]->SetBounds(geometry_[WizCtl(i)]);
  SetActivePage(WizCtl::welcomepage);
}

void Triform::SetActivePage(WizCtl sheet) {
  activepage_ = sheet;
  for (auto* s : {&welcomepage, &licensepage, &installingpage, &finishpage, &uninstallfinishpage,
                  &destinationpage, &passwordpage, &scopepage, &inusepage}) {
    s->SetVisible(s == &Control(sheet));
  }
  pagesChange();
}

void Triform::FormCreate() {
  installprogress.SetDoubleBuffered();
  installfailed_ = false;
  uninstallmode_ = data_.uninstallmode;
  if (!uninstallmode_) CheckProtection();
  FormResize();
}

void Triform::Fatal(std::u16string_view message) {
  log_("error: ", message);
  status_.Set(Outcome::kFailed);
  if (!passive()) ui::ErrorBox(handle(), message);
  ui::Application::Get().Terminate(1);
}

void Triform::ShowWizard() {
  FormShow();
  Show();
  if (options_.elevated && !uninstallmode_ && !passive()) {
    // started elevated by the wizard that asked: its licence was accepted, its choice made
    agree.SetChecked(true);
    ShowPageAfterLicence();
    back.SetEnabled(false);
    return;
  }
  if (!passive()) return;
  if (uninstallmode_) {
    RunUninstall();
  } else {
    StartPassiveInstall();
  }
}

void Triform::StartPassiveInstall() {
  SetActivePage(WizCtl::installingpage);
  next.SetEnabled(false);
  back.SetEnabled(false);
  // nothing waits for a click: no question, so no Cancel either
  cancel.SetEnabled(false);
  FormResize();
  // the session judged the folder already
  MakeEngine(installpath.Text());
  RunEngine();
}

void Triform::FormShow() {
  for (ui::Image* i : {&Image1, &Image2, &Image4, &uninstallimage, &Image5, &Image6, &Image7})
    i->SetPicture(Image3.picture());

  // the names as the package gives them, in any script
  const std::u16string& n = data_.names.displayname;
  const TextArg name{u"name", n};
  if (uninstallmode_) {
    SetText(Tr(TextId::caption_uninstall, {name}));
    welcometitle.SetText(Tr(TextId::uninstall_welcome_title, {name}));
    welcometitle2.SetVisible(false);
    welcomelabel.SetText(Tr(TextId::uninstall_welcome_label, {name}));
    clicknext1.SetText(Tr(TextId::uninstall_click_next, {name}));
    uninstallfinishlabel.SetText(Tr(TextId::uninstall_finish_label, {name}));
    return;
  }
  const std::u16string& v = data_.names.version;
  SetText(Tr(TextId::caption_install, {name}));
  welcometitle.SetText(Tr(TextId::welcome_title));
  welcometitle2.SetText(Tr(TextId::welcome_title2, {name}));
  welcomelabel.SetText(Tr(TextId::welcome_label, {name, {u"version", v}}));
  license.SetText(WithCrLf(Text8(licensetext_)));
  installpathlabel.SetText(Tr(TextId::destination_label, {name}));
  // joined and shown as UTF-16: a folder named in another script than the system's code page
  // (which an 8-bit round trip would turn into question marks) is installed into as named
  installpath.SetText(StripTrailingBackslash(basefolder_) + ReadWide(config_.installfolder));
  if (!options_.installedfolder.empty()) {
    installpath.SetText(options_.installedfolder);
    installpathlabel.SetText(Tr(TextId::destination_upgrade_label, {name}));
  }
  if (options_.destination) installpath.SetText(*options_.destination);
  clicknext2.SetText(Tr(TextId::destination_click_next, {name}));
  installinglabel.SetText(Tr(TextId::installing_label, {name}));
  finishlabel.SetText(Tr(TextId::finish_label, {name}));
  launch.SetText(Tr(TextId::finish_launch, {name}));
  passwordlabel.SetText(Tr(TextId::password_label, {name}));
  scopelabel.SetText(Tr(TextId::scope_label, {name}));
}

void Triform::FormResize() {
  const int dpi = ui::Application::Get().Dpi();
  geometry_[WizCtl::mainback] = FormClientBox(dpi);  // the panel fills the client area
  ApplyWizardLayout(geometry_, dpi);
  WizardGeometry placed = geometry_;
  MakeRoomForTexts(placed, dpi, stopped_);
  for (std::size_t i = 0; i < kWizCtlCount; ++i) windows_[i]->SetBounds(placed[WizCtl(i)]);
}

}  // namespace kestrel

namespace kestrel {

void Triform::OnCommand(int id, int code) {
  if (id == WizCtlId(WizCtl::password) && code == EN_CHANGE) {
    passwordChange();
    return;
  }
  if (code != BN_CLICKED) return;
  if (id == WizCtlId(WizCtl::next)) {
    NextClick();
  } else if (id == WizCtlId(WizCtl::back)) {
    BackClick();
  } else if (id == WizCtlId(WizCtl::cancel)) {
    cancelClick();
  } else if (id == WizCtlId(WizCtl::agree)) {
    agreeClick();
  } else if (id == WizCtlId(WizCtl::change)) {
    changeClick();
  } else if (id == WizCtlId(WizCtl::finish)) {
    finishClick();
  }
}

// Buttons that are disabled or hidden do nothing, whatever sent the click.
static bool Usable(const ui::Window& w) {
  return w.Visible() && w.Enabled();
}

void Triform::NextClick() {
  if (!Usable(next)) return;
  if (activepage_ == WizCtl::destinationpage) {
    // the folder must be one the uninstall may remove again, never one of the system's
    const FolderDecision judged = DecideDestinationHere(installpath.Text());
    if (judged.kept()) {
      const std::u16string why = RefusedDestinationMessage(judged);
      log_("destination refused: ", MaskPasswords(why));
      ui::ErrorBox(handle(), why);
      installpath.FocusAndSelectAll();
      return;
    }
    MakeEngine(judged.path);
    if (!AskAboutApps()) RunEngine();
  } else if (activepage_ == WizCtl::inusepage) {
    const bool close = closeapps.Checked();
    log_("applications using the files: ", close ? "closed by Setup" : "left running");
    engine_->SetApplications(close, options_.restartapplications);
    RunEngine();
  } else if (activepage_ == WizCtl::passwordpage) {
    passwordNext();
  } else if (activepage_ == WizCtl::scopepage) {
    scopeNext();
  } else if (activepage_ == WizCtl::licensepage) {
    ShowPageAfterLicence();
  } else if (activepage_ == WizCtl::welcomepage) {
    if (uninstallmode_) {
      RunUninstall();
      return;
    }
    back.SetEnabled(true);
    if (config_.haslicense) {
      SetActivePage(WizCtl::licensepage);
      if (!agree.Checked()) next.SetEnabled(false);
      FormResize();
    } else {
      ShowPageAfterLicence();
    }
  }
}

void Triform::MakeEngine(const std::u16string& destination) {
  InstallReports& reports = *this;
  engine_ = std::make_unique<tinstallengine>(config_, installsystem_, reports, log_);
  engine_->packageend = config_.licenseoffset;
  engine_->SetRoot(data_.root);
  engine_->SetNames(&data_.names);
  engine_->SetLanguage(data_.language);
  engine_->checkedfile = data_.setupfile;
  engine_->SetAllowDowngrade(options_.allowdowngrade);
  engine_->SetApplications(options_.closeapplications, options_.restartapplications);
  if (passive()) engine_->SkipCosmeticPauses();  // no one watches the bar's last steps
  if (passwordaccepted_) {
    engine_->SetKey(passwordkey_);
    SecureZero(passwordkey_.data(), passwordkey_.size());
  } else if (data_.haskey) {  // a passive run, unlocked from the command line
    engine_->SetKey(data_.key);
  }
  if (!engine_->OpenPackage()) {
    // the engine started below reports the failure itself and installs nothing
    log_("the package's directory could not be read");
    if (!passive()) {
      ui::ErrorBox(handle(), Tr(TextId::setup_data_problem,
                                {{u"status", ShownStatus(engine_->statustext())}}));
    }
  }
  engine_->destfolder = destination;
  log_("destination: ", MaskPasswords(engine_->destfolder));
}

void Triform::RunEngine() {
  SetActivePage(WizCtl::installingpage);
  next.SetEnabled(false);
  back.SetEnabled(false);
  FormResize();
  if (!engine_->StartInstall()) {
    Fatal(Tr(TextId::install_error, {{u"status", Tr(TextId::status_not_started)}}));
  }
}

// ---- applications in use ----
void Triform::CreateInUsePage() {
  using L = ui::Label;
  auto id = [](WizCtl c) { return WizCtlId(c); };
  inusepage.Create(pages.handle(), id(WizCtl::inusepage));
  const HWND p = inusepage.handle();
  inusetitle.Create(p, id(WizCtl::inusetitle), Tr(TextId::inuse_title), 0);
  inuselabel.Create(p, id(WizCtl::inuselabel), Tr(TextId::inuse_label), L::kWrap);
  inuselist.CreateList(p, id(WizCtl::inuselist));
  closeapps.CreateRadio(p, id(WizCtl::closeapps), Tr(TextId::inuse_close), true);
  keepapps.CreateRadio(p, id(WizCtl::keepapps), Tr(TextId::inuse_keep), false);
  closeapps.SetChecked(true);
  inusenote.Create(p, id(WizCtl::inusenote), Tr(TextId::inuse_note), L::kWrap);
  clicknext5.Create(p, id(WizCtl::clicknext5), Tr(TextId::click_next), L::kWrap);
  Image7.Create(p, id(WizCtl::Image7));
  inusepage.SetVisible(false);
}

bool Triform::AskAboutApps() {
  if (passive()) return false;  // /CLOSEAPPLICATIONS decides
  std::vector<std::u16string> apps;
  if (installsystem_.AppsUsing(engine_->FilesInPlace(), apps) != 0 || apps.empty()) return false;
  std::u16string list;
  for (const std::u16string& app : apps) {
    log_("files in use by: ", app);
    list += (list.empty() ? u"" : u"\r\n") + app;
  }
  inuselist.SetText(list);
  // the choice is made here; going back would need the engine made again
  back.SetEnabled(false);
  SetActivePage(WizCtl::inusepage);
  FormResize();
  return true;
}
// ---- end of applications in use ----

void Triform::BackClick() {
  if (!Usable(back)) return;
  if (activepage_ == WizCtl::licensepage) {
    next.SetEnabled(true);
    back.SetEnabled(false);
    SetActivePage(WizCtl::welcomepage);
  } else if (activepage_ == WizCtl::passwordpage) {
    if (config_.haslicense) {
      SetActivePage(WizCtl::licensepage);
      next.SetEnabled(agree.Checked());
    } else {
      SetActivePage(WizCtl::welcomepage);
      next.SetEnabled(true);
      back.SetEnabled(false);
    }
  } else if (activepage_ == WizCtl::destinationpage && options_.askscope) {
    SetActivePage(WizCtl::scopepage);
  } else if (activepage_ == WizCtl::destinationpage || activepage_ == WizCtl::scopepage) {
    if (needpassword_) {
      SetActivePage(WizCtl::passwordpage);
      next.SetEnabled(!password.Text().empty());
    } else if (config_.haslicense) {
      SetActivePage(WizCtl::licensepage);
    } else {
      SetActivePage(WizCtl::welcomepage);
      back.SetEnabled(false);
    }
  } else if (activepage_ == WizCtl::installingpage) {
    SetActivePage(WizCtl::destinationpage);
  }
}

void Triform::agreeClick() {
  next.SetEnabled(agree.Checked());
}

// ---- password page ----
void Triform::CreatePasswordPage() {
  using L = ui::Label;
  auto id = [](WizCtl c) { return WizCtlId(c); };
  passwordpage.Create(pages.handle(), id(WizCtl::passwordpage));
  const HWND p = passwordpage.handle();
  passwordtitle.Create(p, id(WizCtl::passwordtitle), Tr(TextId::password_title), 0);
  passwordlabel.Create(p, id(WizCtl::passwordlabel), u"", L::kWrap);
  passwordprompt.Create(p, id(WizCtl::passwordprompt), Tr(TextId::password_prompt), 0);
  password.CreateMasked(p, id(WizCtl::password));
  clicknext3.Create(p, id(WizCtl::clicknext3), Tr(TextId::click_next), L::kWrap);
  Image5.Create(p, id(WizCtl::Image5));
  passwordpage.SetVisible(false);
}

void Triform::CheckProtection() {
  needpassword_ = data_.needpassword;
  header_ = data_.header;
}

void Triform::ShowPageAfterLicence() {
  if (needpassword_) {
    SetActivePage(WizCtl::passwordpage);
    next.SetEnabled(!password.Text().empty());
    FormResize();
    password.FocusAndSelectAll();
    return;
  }
  ShowScopeOrDestination();
}

void Triform::passwordChange() {
  passwordaccepted_ = false;
  if (activepage_ == WizCtl::passwordpage) next.SetEnabled(!password.Text().empty());
}

void Triform::passwordNext() {
  std::u16string typed = password.Text();
  std::string utf8 = Utf16ToUtf8(typed);
  SecureZero(typed.data(), typed.size() * sizeof(char16_t));
  // the derivation takes about half a second by design
  const HCURSOR before = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  const PasswordCheck result = CheckPassword(header_, utf8, passwordkey_);
  SetCursor(before);
  SecureZero(utf8.data(), utf8.size());
  if (result != PasswordCheck::kAccepted) {
    ui::ErrorBox(handle(), Tr(TextId::password_wrong));
    password.FocusAndSelectAll();
    return;
  }
  passwordaccepted_ = true;
  ShowScopeOrDestination();
}
// ---- end of password page ----

// ---- every user or one ----
void Triform::CreateScopePage() {
  using L = ui::Label;
  auto id = [](WizCtl c) { return WizCtlId(c); };
  scopepage.Create(pages.handle(), id(WizCtl::scopepage));
  const HWND p = scopepage.handle();
  scopetitle.Create(p, id(WizCtl::scopetitle), Tr(TextId::scope_title), 0);
  scopelabel.Create(p, id(WizCtl::scopelabel), u"", L::kWrap);
  allusers.CreateRadio(p, id(WizCtl::allusers), Tr(TextId::scope_all_users), true);
  justme.CreateRadio(p, id(WizCtl::justme), Tr(TextId::scope_just_me), false);
  allusers.SetChecked(true);
  scopenote.Create(p, id(WizCtl::scopenote), Tr(TextId::scope_note), L::kWrap);
  clicknext4.Create(p, id(WizCtl::clicknext4), Tr(TextId::click_next), L::kWrap);
  Image6.Create(p, id(WizCtl::Image6));
  scopepage.SetVisible(false);
}

void Triform::ShowScopeOrDestination() {
  SetActivePage(options_.askscope ? WizCtl::scopepage : WizCtl::destinationpage);
  FormResize();
}

void Triform::scopeNext() {
  const bool user = justme.Checked();
  if (!user && !RunningAsAdministrator()) {
    log_("installs for: every user; setup starts again with administrator rights");
    SetVisible(false);
    const ElevatedRun run = RunElevated(options_.elevatedparameters, handle());
    if (run.started) {
      log_("the elevated setup ended with exit code ", run.code);
      status_.PassOn(run.code);
      completed_ = true;
      Close();
      return;
    }
    SetVisible(true);
    log_("setup was not given administrator rights (error ", run.error, ")");
    // a refusal leaves the choice to the user; another failure says what the system said
    const std::u16string norights = Tr(TextId::scope_no_rights);
    ui::ErrorBox(handle(), run.error == ERROR_CANCELLED
                               ? norights
                               : norights + u" (" + installsystem_.ErrorText(run.error) + u")");
    return;
  }
  log_("installs for: ", user ? "the current user" : "every user");
  data_.root = user ? RegRoot::kCurrentUser : RegRoot::kLocalMachine;
  basefolder_ = user ? options_.userbasefolder : machinebasefolder_;
  if (!options_.destination) {
    installpath.SetText(StripTrailingBackslash(basefolder_) + ReadWide(config_.installfolder));
  }
  SetActivePage(WizCtl::destinationpage);
  FormResize();
}
// ---- end of every user or one ----

// ---- folder chooser ----
void Triform::changeClick() {
  Tdir* dir = FolderDialog();
  if (!dir) return;
  // from the folder chosen last (or Program Files), not from the text typed since; a folder
  // that is gone leaves the tree where it was
  dir->directory.MoveTo(basefolder_);
  if (dir->ShowModal() != Tdir::ModalResult::kOk) return;
  basefolder_ = dir->directory.SelectedPath();
  // kept in UTF-16: a chosen folder's name may lie outside the 8-bit code page
  installpath.SetText(StripTrailingBackslash(basefolder_) + ReadWide(config_.installfolder));
}
// ---- end of folder chooser ----

void Triform::cancelClick() {
  if (!Usable(cancel)) return;
  if (activepage_ == WizCtl::installingpage && engine_) {
    // The worker halts at its next safe point while the user decides.
    engine_->Hold();
    if (!ui::WarningBox(handle(), Tr(TextId::cancel_install_question))) {
      engine_->Continue();
      return;
    }
    log_("installation cancelled by the user");
    // a run that stopped on a read failure stays failed
    if (status_.outcome() == Outcome::kDone) status_.Set(Outcome::kCancelled);
    installinglabel.SetText(Tr(TextId::installing_rolling_back));
    installprogress.SetPosition(0);
    cancel.SetEnabled(false);
    UpdateWindow(handle());
    engine_->Cancel();
    // what the installation changed is undone before the program ends
    engine_->WaitFor(INFINITE);
    if (engine_->committed()) {
      // the cancel came after the last change was made: the installation is complete
      log_("the installation was complete before the cancel");
      status_.Set(engine_->restart() ? Outcome::kRestartNeeded : Outcome::kDone);
    }
    Close();
    return;
  }
  if (ui::WarningBox(handle(), Tr(uninstallmode_ ? TextId::cancel_uninstall_question
                                                 : TextId::cancel_install_question))) {
    // a run that already failed stays failed
    if (status_.outcome() == Outcome::kDone) status_.Set(Outcome::kCancelled);
    log_(uninstallmode_ ? "uninstall" : "installation", " cancelled by the user");
    Close();
  }
}

void Triform::InstallFinished() {
  if (installfailed_ && engine_->downgrade()) {
    Fatal(engine_->statustext());
    status_.Set(Outcome::kDowngrade);
    return;
  }
  if (installfailed_) {
    Fatal(Tr(TextId::install_error, {{u"status", ShownStatus(engine_->statustext())}}));
    return;
  }
  log_("installation complete");
  if (engine_->restart()) {
    status_.Set(Outcome::kRestartNeeded);
    finishlabel.SetText(Tr(TextId::finish_restart_label, {{u"name", data_.names.displayname}}));
  }
  RunEnded(WizCtl::finishpage);
}

void Triform::RunEnded(WizCtl finishpage) {
  // done: closing the wizard from here on, by Finish or otherwise, is no cancel
  completed_ = true;
  if (passive()) {
    Close();
    return;
  }
  SetActivePage(finishpage);
  FormResize();
  back.SetEnabled(false);
  next.SetVisible(false);
  finish.SetVisible(true);
  cancel.SetEnabled(false);
}

void Triform::RollingBack() {
  installinglabel.SetText(Tr(TextId::installing_rolling_back));
}

// A stopped run's label says why in the progress bar's place.
void Triform::ShowStopped() {
  stopped_ = true;
  installprogress.SetVisible(false);
  FormResize();
}

void Triform::InstallStopped(const std::u16string& statustext) {
  // nothing is complete: whatever ends the wizard now, it failed
  status_.Set(Outcome::kFailed);
  if (passive()) {
    ui::Application::Get().Terminate(1);
    return;
  }
  installingtitle.SetText(Tr(TextId::installing_stopped_title));
  installinglabel.SetText(
      Tr(TextId::installing_stopped_label, {{u"status", ShownStatus(statustext)}}));
  ShowStopped();
}

void Triform::finishClick() {
  if (!Usable(finish)) return;
  if (uninstallmode_) {
    Close();
    return;
  }
  const std::u16string folder = AddTrailingBackslash(installpath.Text());
  if (launch.Checked()) {
    // no arguments, shown normally, no inherited handles, the installer's current folder
    const std::u16string program = folder + FromCodePage(ReadShort(config_.exename));
    PROCESS_INFORMATION pi{};
    BOOL started = FALSE;
    if (UseWideApi()) {
      STARTUPINFOW si{};
      si.cb = sizeof si;
      si.dwFlags = STARTF_USESHOWWINDOW;
      si.wShowWindow = SW_SHOW;
      started = CreateProcessW(Wide(program), nullptr, nullptr, nullptr, FALSE,
                               NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi);
    } else {
      STARTUPINFOA si{};
      si.cb = sizeof si;
      si.dwFlags = STARTF_USESHOWWINDOW;
      si.wShowWindow = SW_SHOW;
      const std::string path = ToCodePage(program);
      started = CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE,
                               NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi);
    }
    if (started) {
      // not waited for: the handles only need closing
      win::Event thread(pi.hThread), process(pi.hProcess);
    }
  }
  if (readme.Checked()) {
    const std::u16string file = folder + u"readme.txt";
    if (UseWideApi()) {
      ShellExecuteW(handle(), L"open", Wide(file), nullptr, nullptr, SW_SHOWNORMAL);
    } else {
      ShellExecuteA(handle(), "open", ToCodePage(file).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
  }
  Close();
}

// ---- the uninstall run's page and questions ----
void Triform::RunUninstall() {
  // the session loaded it, with the record
  WindowsUninstallSystem system;
  UninstallObserver& watcher = *this;
  UninstallRun run(*options_.uninstall, system, watcher);
  run.SetLog(log_);
  run.Run();
}

void Triform::UninstallStarted(const std::string& displayname) {
  // buttons and texts first, so the page is never seen in a state it does not keep
  next.SetEnabled(false);
  back.SetEnabled(false);
  // the run cannot be interrupted half-way; Cancel comes back only if it stops
  cancel.SetEnabled(false);
  installingtitle.SetText(Tr(TextId::uninstall_title));
  installinglabel.SetText(Tr(TextId::uninstall_label, {{u"name", FromCodePage(displayname)}}));
  SetActivePage(WizCtl::installingpage);
  FormResize();
  UpdateWindow(handle());
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool Triform::DeleteSettings() {
  // an unattended run keeps the user's settings
  if (passive()) return false;
  return ui::ConfirmBox(handle(), Tr(TextId::uninstall_settings_question));
}

void Triform::FolderKept(const std::u16string& message) {
  if (passive()) return;
  ui::ErrorBox(handle(), message);
}

void Triform::UninstallStopped(const std::u16string& folder, const std::u16string& message) {
  status_.Set(Outcome::kFailed);
  if (passive()) {
    ui::Application::Get().Terminate(1);
    return;
  }
  installingtitle.SetText(Tr(TextId::uninstall_stopped_title));
  installinglabel.SetText(Tr(TextId::uninstall_stopped_label, {{u"folder", folder}}));
  ShowStopped();
  ui::ErrorBox(handle(), message);
  cancel.SetEnabled(true);
}

void Triform::FilesKept(const std::u16string& message) {
  // the finish page says it below its own text
  uninstallfinishlabel.SetText(uninstallfinishlabel.Text() + u"\n\n" + message);
}

void Triform::RestartCompletes() {
  status_.Set(Outcome::kRestartNeeded);
  uninstallfinishlabel.SetText(
      Tr(TextId::uninstall_restart_label, {{u"name", data_.names.displayname}}));
}

void Triform::UninstallDone() {
  log_("uninstall complete");
  RunEnded(WizCtl::uninstallfinishpage);
}

}  // namespace kestrel
