// The folder dialog `Tdir`: a modal tree of the shell namespace from which the user picks the
// parent folder of the installation. Created hidden at start-up and shown again and again.
#pragma once

#include <string>

#include "toolkit/controls_win32.h"
#include "toolkit/foldertree_win32.h"
#include "wizard/layout.h"

namespace kestrel {

class Tdir : public ui::Form {
 public:
  enum class ModalResult { kNone, kOk, kCancel };

  Tdir() = default;
  ~Tdir() override;

  // Creates the dialog hidden, owned by `owner`, and runs FormCreate.
  void Create(HWND owner);
  // Shows the dialog centred over its owner, which is disabled meanwhile, and returns how it was
  // closed. The dialog is hidden again, not destroyed.
  ModalResult ShowModal();

  ui::FolderTree directory;

 protected:
  void OnCommand(int id, int code) override;
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void FormCreate();
  void FormResize();
  // OK's handler: true when the dialog may close with the OK result.
  bool okClick();
  ui::Window& Control(DirCtl c);

  ui::Panel Panel1;
  ui::Button ok, cancel;
  DirGeometry geometry_;
  std::string invalidfoldermessage;
  ModalResult modalresult_ = ModalResult::kNone;
};

// The dialog created at start-up; null before it exists and after it is gone.
Tdir* FolderDialog();

}  // namespace kestrel
