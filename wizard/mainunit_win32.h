// The wizard form `Triform`: pages, texts, layout and navigation. The session has chosen the
// mode and loaded the package (or the registry's record) before the form is made.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "decode/password.h"
#include "installengine/installsystem_win32.h"
#include "package/records.h"
#include "package/startload.h"
#include "sysutil/log.h"
#include "sysutil/outcome.h"
#include "toolkit/controls_win32.h"
#include "uninstall/uninstallrun.h"
#include "wizard/installworker_win32.h"
#include "wizard/layout.h"

namespace kestrel {

// How the session wants the wizard run.
struct WizardOptions {
  UiLevel ui = UiLevel::kFull;                // kPassive: the progress page only, closed at the end
  std::optional<std::u16string> destination;  // /D=: the destination page's text
  const UninstallInfo* uninstall = nullptr;   // uninstall mode: what the session loaded
  bool allowdowngrade = false;                // /ALLOWDOWNGRADE
  // /CLOSEAPPLICATIONS: a passive run closes the applications holding files; the wizard asks
  bool closeapplications = false;
  bool restartapplications = true;  // not /NORESTARTAPPLICATIONS
  std::u16string installedfolder;   // an installed copy's folder: the upgrade's
  // a package for every user or one: the wizard asks before the destination page, and starts
  // setup again with administrator rights for every user; `userbasefolder` is the user's own
  // programs folder
  bool askscope = false;
  std::u16string userbasefolder;
  // started with administrator rights by the setup that asked: the licence was accepted there
  bool elevated = false;
  std::u16string elevatedparameters;  // the elevated start's command line after the program
};

class Triform : public ui::Form, private InstallReports, private UninstallObserver {
 public:
  // `data` and `status` belong to the session and outlive the form.
  Triform(SetupData& data, const WizardOptions& options, ExitStatus& status, const Log& log);
  // out of line: the destructor and its thunks for the two interfaces belong to one unit
  ~Triform() override;

  // Creates the form and its controls and runs FormCreate.
  void Create(HWND owner);
  // Shows the form; its texts are set first. A passive run starts its work here.
  void ShowWizard();

  bool uninstallmode() const { return uninstallmode_; }
  const ConfigRecord& config() const { return config_; }

  void InstallFinished();

 protected:
  void OnClose() override { FormClose(); }
  void OnCommand(int id, int code) override;

 private:
  void CreateControls();
  void FormCreate();
  void FormShow();
  void FormResize();
  void ShowStopped();
  // A wizard closed before its end counts as cancelled.
  void FormClose() {
    if (!completed_ && status_.outcome() == Outcome::kDone) status_.Set(Outcome::kCancelled);
  }
  void pagesChange() { FormResize(); }
  void Fatal(std::u16string_view message);
  // The install or uninstall reached its end: its finish page, or a passive run closes.
  void RunEnded(WizCtl finishpage);
  bool passive() const { return options_.ui == UiLevel::kPassive; }
  // InstallReports, on the main thread while the worker waits
  void ShowProgress(std::int32_t position) override { installprogress.SetPosition(position); }
  // the engine's result, then the completion handler
  void InstallDone(bool failed, const std::u16string&) override {
    installfailed_ = failed;
    InstallFinished();
  }
  // the engine stopped on a package read failure and reports nothing else: Cancel leaves
  void InstallStopped(const std::u16string& statustext) override;
  void RollingBack() override;
  // UninstallObserver
  void UninstallStarted(const std::string& displayname) override;
  bool DeleteSettings() override;
  void FolderKept(const std::u16string& folder) override;
  void UninstallStopped(const std::u16string& folder, const std::u16string& message) override;
  void FilesKept(const std::u16string& message) override;
  void RestartCompletes() override;
  void UninstallDone() override;
  // button and check-box handlers
  void NextClick();
  void BackClick();
  void cancelClick();
  void agreeClick();
  void changeClick();
  void finishClick();
  // `destination`: the folder as the guard judged it, recorded as it is. Makes the engine and
  // opens the package; RunEngine starts it.
  void MakeEngine(const std::u16string& destination);
  void RunEngine();
  // ---- the applications that hold files to be replaced ----
  void CreateInUsePage();
  // Shows the page when applications hold files the installation replaces; false when none do.
  bool AskAboutApps();
  // ---- the choice between every user and one ----
  void CreateScopePage();
  // The choice page when the package asks for it, else the destination page.
  void ShowScopeOrDestination();
  // Next on the choice page: one user goes on at once; every user needs administrator rights,
  // which a second start of setup asks for; its end is this one's.
  void scopeNext();
  // ---- the password page ----
  void CreatePasswordPage();
  // At start-up: a package keyed by a password gets the page; one with a raw key cannot be opened.
  void CheckProtection();
  // Licence or welcome page onwards: the password page when the package needs it, else the
  // destination page.
  void ShowPageAfterLicence();
  // Next on the password page: checks the password, and on success goes on to the destination.
  void passwordNext();
  void passwordChange();
  // Next on the welcome page in uninstall mode (at once in a passive run).
  void RunUninstall();
  // A passive install: straight to the progress page and the engine.
  void StartPassiveInstall();
  void SetActivePage(WizCtl sheet);
  ui::Window& Control(WizCtl c) { return *windows_[static_cast<std::size_t>(c)]; }

  // controls, in creation order
  ui::Panel mainback;
  ui::PageControl pages;
  ui::Sheet welcomepage, licensepage, installingpage, finishpage, uninstallfinishpage,
      destinationpage;
  ui::Button finish, back, next, cancel;
  ui::Label welcometitle, welcomelabel, note, clicknext1;
  ui::Image Image3;
  ui::Label welcometitle2;
  ui::Label licensetitle, licenselabel;
  ui::Edit license;
  ui::CheckBox agree;
  ui::Label installinglabel, installingtitle;
  ui::Image Image1;
  ui::ProgressBar installprogress;
  ui::Label finishtitle, finishlabel, clickfinish;
  ui::Image Image2;
  ui::CheckBox launch, readme;
  ui::Label uninstallfinishtitle, uninstallfinishlabel, clickfinish2;
  ui::Image uninstallimage;
  ui::Label installpathlabel, destinationtitle, clicknext2;
  ui::Image Image4;
  ui::Edit installpath;
  ui::Button change;
  ui::Sheet passwordpage;
  ui::Label passwordtitle, passwordlabel, passwordprompt, clicknext3;
  ui::Edit password;
  ui::Image Image5;
  ui::Sheet scopepage;
  ui::Label scopetitle, scopelabel;
  ui::CheckBox allusers, justme;
  ui::Label scopenote, clicknext4;
  ui::Image Image6;
  ui::Sheet inusepage;
  ui::Label inusetitle, inuselabel;
  ui::Edit inuselist;
  ui::CheckBox closeapps, keepapps;
  ui::Label inusenote, clicknext5;
  ui::Image Image7;

  std::array<ui::Window*, kWizCtlCount> windows_{};
  WizardGeometry geometry_;
  bool stopped_ = false;  // a run stopped: its label takes the progress bar's place
  WizCtl activepage_ = WizCtl::welcomepage;

  // wizard state, loaded by the session
  SetupData& data_;
  const WizardOptions options_;
  ExitStatus& status_;
  Log log_;
  bool uninstallmode_ = false;
  ConfigRecord& config_;
  std::string& licensetext_;
  std::u16string& basefolder_;
  const std::u16string machinebasefolder_;  // Program Files, for an installation for every user
  bool installfailed_ = false;
  // password state: the page is shown when `needpassword_`; the key is valid once accepted
  bool needpassword_ = false;
  bool passwordaccepted_ = false;
  PackageHeader header_{};
  std::array<std::uint8_t, kMaxKeyBytes> passwordkey_{};
  bool completed_ = false;  // the run reached its end: the finish page, or a passive run's end
  WindowsInstallSystem installsystem_;
  // Made by Next on the destination page and kept until the program ends; declared last so it
  // goes first, while the controls its worker reports to still exist.
  std::unique_ptr<tinstallengine> engine_;
};

}  // namespace kestrel
