// A tree of the shell namespace, rooted at the Desktop: folders only, enumerated when a branch is
// first opened, with the shell's small icons.
#pragma once

#include <windows.h>
// the shell and common-control headers need the Windows types first
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <string_view>

#include "toolkit/controls_win32.h"

namespace kestrel::ui {

// An item ID list from the shell's allocator.
struct PidlFree {
  void operator()(ITEMIDLIST* p) const { CoTaskMemFree(p); }
};
using Pidl = std::unique_ptr<ITEMIDLIST, PidlFree>;

// Holds one COM interface reference.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ComRef& operator=(ComRef&& o) noexcept {
    if (this != &o) {
      Reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For functions that return a new reference through a T** (or void**) parameter.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

class FolderTree : public Window {
 public:
  FolderTree() = default;
  ~FolderTree() override;

  // Creates the tree with its Desktop root opened. COM is initialised for the calling thread
  // for as long as the tree lives.
  void Create(HWND parent, int id);
  // Collapses the open branches, then opens the tree down to the folder and selects it. False
  // (and the tree left as it was) when the shell cannot find the path.
  bool MoveTo(std::u16string_view path);
  // The file-system path of the selected folder; empty when nothing is selected or the
  // selection is a virtual folder.
  std::u16string SelectedPath() const;
  // The tree's own notifications, handed on by the window that receives them. True when
  // handled; *result is then the answer to the notification.
  bool Notify(NMHDR* header, LRESULT* result);

 private:
  // Owned by its tree item (its lParam), and listed here so that none outlives the tree.
  struct Node {
    Pidl pidl;  // absolute, from the Desktop
    bool filled = false;
    Node* prev = nullptr;
    Node* next = nullptr;
  };

  HTREEITEM Insert(HTREEITEM parent, Pidl pidl, const std::u16string& text, bool has_children);
  Node* NodeOf(HTREEITEM item) const;
  // Lists the folder's subfolders below its item, the first time only.
  void Fill(HTREEITEM item);
  // Drops the children of every branch below the root, so that they are listed afresh.
  void ResetBranches();
  void SetHasChildren(HTREEITEM item, bool has_children);
  HTREEITEM FindChild(HTREEITEM parent, const ITEMIDLIST* pidl) const;
  void Drop(Node* node);
  // Orders two items of one branch as the branch's folder (the `folder`) compares them.
  static int CALLBACK CompareSiblings(LPARAM a, LPARAM b, LPARAM folder);

  bool com_initialised_ = false;
  ComRef<IShellFolder> desktop_;
  Node* nodes_ = nullptr;  // every node, newest first
  HTREEITEM root_ = nullptr;
};

}  // namespace kestrel::ui
