// The wizard form `Triform`: mode selection, start-up loading, texts and layout.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "decode/password.h"
#include "installengine/installengine.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "toolkit/controls.h"
#include "wizard/layout.h"

namespace kestrel {

// The process-wide handle on the program's own file, opened at start-up in install mode and
// kept open until the program ends. Null in uninstall mode.
PackageFile* SetupFile();

class Triform : public ui::Form {
 public:
  Triform() = default;

  // Creates the form and its controls and runs FormCreate. After a fatal start-up error the
  // error has been shown and the application told to terminate.
  void Create(HWND owner);
  // Shows the form; its texts are set first.
  void ShowWizard();

  bool uninstallmode() const { return uninstallmode_; }
  const ConfigRecord& config() const { return config_; }

  // The engine's steps, run on the main thread while the worker waits.
  void ShowInstallProgress(int position) { installprogress.SetPosition(position); }
  // InstallDone: the engine's result, then the completion handler.
  void EngineDone(bool failed) {
    installfailed_ = failed;
    InstallFinished();
  }
  void InstallFinished();
  // The engine stopped on a package read failure and reports nothing else: Cancel leaves.
  void InstallStopped(const std::u16string& statustext);

 protected:
  void OnClose() override { FormClose(); }
  void OnCommand(int id, int code) override;

 private:
  void CreateControls();
  void FormCreate();
  void FormShow();
  void FormResize();
  void FormClose() {}
  void pagesChange() { FormResize(); }
  void InstallModeCreate();
  void UninstallModeCreate();
  void Fatal(std::u16string_view message, int exit_code = 1);
  // button and check-box handlers
  void NextClick();
  void BackClick();
  void cancelClick();
  void agreeClick();
  void changeClick();
  void finishClick();
  void StartEngine();
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
  // Next on the welcome page in uninstall mode.
  void UninstallRun();
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

  std::array<ui::Window*, kWizCtlCount> windows_{};
  WizardGeometry geometry_;
  WizCtl activepage_ = WizCtl::welcomepage;

  // wizard state
  bool uninstallmode_ = false;
  ConfigRecord config_{};
  std::string licensetext_;
  std::u16string basefolder_;
  bool installfailed_ = false;
  // password state: the page is shown when `needpassword_`; the key is valid once accepted
  bool needpassword_ = false;
  bool passwordaccepted_ = false;
  PackageHeader header_{};
  std::array<std::uint8_t, kMaxKeyBytes> passwordkey_{};
  // Made by Next on the destination page and kept until the program ends; declared last so it
  // goes first, while the controls its worker reports to still exist.
  std::unique_ptr<tinstallengine> engine_;
};

}  // namespace kestrel
