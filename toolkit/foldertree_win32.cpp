#include "toolkit/foldertree_win32.h"

#include <cstring>
#include <utility>

namespace kestrel::ui {
namespace {

int IdCount(const ITEMIDLIST* pidl) {
  int n = 0;
  for (auto p = reinterpret_cast<const BYTE*>(pidl); p && reinterpret_cast<const SHITEMID*>(p)->cb;
       p += reinterpret_cast<const SHITEMID*>(p)->cb) {
    ++n;
  }
  return n;
}

// A copy of the first `count` IDs of the list: the path of one of its ancestors.
Pidl Prefix(const ITEMIDLIST* pidl, int count) {
  auto base = reinterpret_cast<const BYTE*>(pidl);
  std::size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    const USHORT cb = reinterpret_cast<const SHITEMID*>(base + bytes)->cb;
    if (!cb) break;
    bytes += cb;
  }
  auto copy = static_cast<BYTE*>(CoTaskMemAlloc(bytes + sizeof(USHORT)));
  if (!copy) return nullptr;
  std::memcpy(copy, base, bytes);
  std::memset(copy + bytes, 0, sizeof(USHORT));  // the terminating empty ID
  return Pidl(reinterpret_cast<ITEMIDLIST*>(copy));
}

std::u16string FromWide(const wchar_t* s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s));
}

std::u16string Widen(const char* s) {
  const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  if (n <= 1) return {};
  std::u16string w(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, s, -1, reinterpret_cast<wchar_t*>(w.data()), n);
  w.resize(static_cast<std::size_t>(n - 1));
  return w;
}

// The text of a display name in any of the forms a folder may return it; frees what it holds.
std::u16string TakeStrRet(STRRET& s, const ITEMIDLIST* pidl) {
  switch (s.uType) {
    case STRRET_WSTR: {
      std::u16string w = FromWide(s.pOleStr ? s.pOleStr : L"");
      CoTaskMemFree(s.pOleStr);
      s.pOleStr = nullptr;
      return w;
    }
    case STRRET_OFFSET:
      return Widen(reinterpret_cast<const char*>(pidl) + s.uOffset);
    case STRRET_CSTR:
      return Widen(s.cStr);
  }
  return {};
}

HTREEITEM Child(HWND tree, HTREEITEM item) {
  return TreeView_GetChild(tree, item);
}
HTREEITEM Next(HWND tree, HTREEITEM item) {
  return TreeView_GetNextSibling(tree, item);
}

}  // namespace

FolderTree::~FolderTree() {
  if (hwnd_ && IsWindow(hwnd_)) TreeView_DeleteAllItems(hwnd_);
  while (nodes_) Drop(nodes_);
  desktop_.Reset();
  if (com_initialised_) CoUninitialize();
}

void FolderTree::Create(HWND parent, int id) {
  // S_FALSE (already initialised here) counts too and is balanced the same way
  com_initialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES |
                      TVS_LINESATROOT | TVS_SHOWSELALWAYS;
  Window::Create(parent, WC_TREEVIEWW, style, WS_EX_CLIENTEDGE, id, u"");
  if (!hwnd_ || FAILED(SHGetDesktopFolder(desktop_.Put()))) return;

  ITEMIDLIST* raw = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, &raw)) || !raw) return;
  Pidl root(raw);
  SHFILEINFOW sfi{};
  // the shell's own image list: shared by the process and never destroyed by us
  auto images = reinterpret_cast<HIMAGELIST>(
      SHGetFileInfoW(reinterpret_cast<LPCWSTR>(root.get()), 0, &sfi, sizeof sfi,
                     SHGFI_PIDL | SHGFI_SYSICONINDEX | SHGFI_SMALLICON | SHGFI_DISPLAYNAME));
  if (images) TreeView_SetImageList(hwnd_, images, TVSIL_NORMAL);
  root_ = Insert(TVI_ROOT, std::move(root),
                 FromWide(sfi.szDisplayName[0] ? sfi.szDisplayName : L"Desktop"), true);
  if (!root_) return;
  Fill(root_);
  TreeView_Expand(hwnd_, root_, TVE_EXPAND);
}

HTREEITEM FolderTree::Insert(HTREEITEM parent, Pidl pidl, const std::u16string& text,
                             bool has_children) {
  Node* raw = new Node;
  raw->pidl = std::move(pidl);
  raw->next = nodes_;
  if (nodes_) nodes_->prev = raw;
  nodes_ = raw;
  TVINSERTSTRUCTW ins{};
  ins.hParent = parent;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_CHILDREN | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  ins.item.pszText = const_cast<wchar_t*>(WideZ(text));
  ins.item.iImage = I_IMAGECALLBACK;  // looked up when the item is first drawn
  ins.item.iSelectedImage = I_IMAGECALLBACK;
  ins.item.cChildren = has_children ? 1 : 0;
  ins.item.lParam = reinterpret_cast<LPARAM>(raw);
  HTREEITEM item = TreeView_InsertItem(hwnd_, &ins);
  if (!item) Drop(raw);
  return item;
}

void FolderTree::Drop(Node* node) {
  if (node->prev)
    node->prev->next = node->next;
  else
    nodes_ = node->next;
  if (node->next) node->next->prev = node->prev;
  delete node;
}

FolderTree::Node* FolderTree::NodeOf(HTREEITEM item) const {
  if (!hwnd_ || !item) return nullptr;
  TVITEMW tv{};
  tv.mask = TVIF_PARAM;
  tv.hItem = item;
  if (!TreeView_GetItem(hwnd_, &tv)) return nullptr;
  return reinterpret_cast<Node*>(tv.lParam);
}

void FolderTree::SetHasChildren(HTREEITEM item, bool has_children) {
  TVITEMW tv{};
  tv.mask = TVIF_CHILDREN;
  tv.hItem = item;
  tv.cChildren = has_children ? 1 : 0;
  TreeView_SetItem(hwnd_, &tv);
}

void FolderTree::Fill(HTREEITEM item) {
  Node* node = NodeOf(item);
  if (!node || node->filled || !desktop_) return;
  node->filled = true;

  ComRef<IShellFolder> folder;
  if (item == root_) {
    desktop_->AddRef();
    *folder.Put() = desktop_.get();
  } else if (FAILED(desktop_->BindToObject(node->pidl.get(), nullptr, IID_IShellFolder,
                                           folder.PutVoid()))) {
    SetHasChildren(item, false);
    return;
  }
  ComRef<IEnumIDList> list;
  // S_FALSE: the folder lists nothing
  if (folder->EnumObjects(hwnd_, SHCONTF_FOLDERS, list.Put()) != S_OK || !list) {
    SetHasChildren(item, false);
    return;
  }

  ITEMIDLIST* raw = nullptr;
  ULONG got = 0;
  int inserted = 0;
  while (list->Next(1, &raw, &got) == S_OK && got == 1 && raw) {
    Pidl relative(raw);
    raw = nullptr;
    SFGAOF attrs = SFGAO_FOLDER | SFGAO_HASSUBFOLDER | SFGAO_STREAM;
    LPCITEMIDLIST one = relative.get();
    if (FAILED(folder->GetAttributesOf(1, &one, &attrs))) continue;
    // archives may browse as folders, but they are files
    if (!(attrs & SFGAO_FOLDER) || (attrs & SFGAO_STREAM)) continue;
    STRRET name{};
    std::u16string text;
    if (SUCCEEDED(folder->GetDisplayNameOf(relative.get(), SHGDN_INFOLDER, &name))) {
      text = TakeStrRet(name, relative.get());
    }
    Pidl absolute(ILCombine(node->pidl.get(), relative.get()));
    if (absolute && Insert(item, std::move(absolute), text, (attrs & SFGAO_HASSUBFOLDER) != 0)) {
      ++inserted;
    }
  }
  // the Desktop keeps the shell's own order (its special folders first); others sort as the
  // shell compares them
  if (item != root_ && inserted > 1) {
    TVSORTCB sort{};
    sort.hParent = item;
    sort.lpfnCompare = CompareSiblings;
    sort.lParam = reinterpret_cast<LPARAM>(folder.get());
    TreeView_SortChildrenCB(hwnd_, &sort, FALSE);
  }
  if (!inserted) SetHasChildren(item, false);
}

int CALLBACK FolderTree::CompareSiblings(LPARAM a, LPARAM b, LPARAM folder) {
  const HRESULT hr = reinterpret_cast<IShellFolder*>(folder)->CompareIDs(
      0, ILFindLastID(reinterpret_cast<const Node*>(a)->pidl.get()),
      ILFindLastID(reinterpret_cast<const Node*>(b)->pidl.get()));
  return SUCCEEDED(hr) ? static_cast<short>(HRESULT_CODE(hr)) : 0;
}

void FolderTree::ResetBranches() {
  for (HTREEITEM c = Child(hwnd_, root_); c; c = Next(hwnd_, c)) {
    TreeView_Expand(hwnd_, c, TVE_COLLAPSE);
    Node* node = NodeOf(c);
    if (!node || !node->filled) continue;
    const bool had_children = Child(hwnd_, c) != nullptr;
    while (HTREEITEM g = Child(hwnd_, c)) TreeView_DeleteItem(hwnd_, g);
    node->filled = false;  // listed afresh when next opened: folders may have come or gone
    TreeView_SetItemState(hwnd_, c, 0, TVIS_EXPANDEDONCE);
    if (had_children) SetHasChildren(c, true);
  }
}

HTREEITEM FolderTree::FindChild(HTREEITEM parent, const ITEMIDLIST* pidl) const {
  for (HTREEITEM c = Child(hwnd_, parent); c; c = Next(hwnd_, c)) {
    const Node* node = NodeOf(c);
    // the shell compares: a parsed ID list need not equal the listed one byte for byte
    if (node && desktop_->CompareIDs(0, node->pidl.get(), pidl) == S_OK) return c;
  }
  return nullptr;
}

bool FolderTree::MoveTo(std::u16string_view path) {
  if (!hwnd_ || !root_ || !desktop_ || path.empty()) return false;
  std::u16string w(path);
  ITEMIDLIST* raw = nullptr;
  ULONG eaten = 0;
  if (FAILED(desktop_->ParseDisplayName(hwnd_, nullptr, reinterpret_cast<wchar_t*>(w.data()),
                                        &eaten, &raw, nullptr)) ||
      !raw) {
    return false;
  }
  Pidl target(raw);

  ResetBranches();
  HTREEITEM current = root_;
  const int count = IdCount(target.get());
  for (int depth = 1; depth <= count; ++depth) {
    Pidl step = Prefix(target.get(), depth);
    if (!step) break;
    Fill(current);
    HTREEITEM next = FindChild(current, step.get());
    if (!next) {
      // a folder the listing leaves out, such as a hidden one: shown all the same
      SHFILEINFOW sfi{};
      SHGetFileInfoW(reinterpret_cast<LPCWSTR>(step.get()), 0, &sfi, sizeof sfi,
                     SHGFI_PIDL | SHGFI_DISPLAYNAME);
      next = Insert(current, std::move(step), FromWide(sfi.szDisplayName), true);
      if (!next) break;
      SetHasChildren(current, true);
    }
    TreeView_Expand(hwnd_, current, TVE_EXPAND);
    current = next;
  }
  TreeView_SelectItem(hwnd_, current);
  TreeView_EnsureVisible(hwnd_, current);
  return true;
}

std::u16string FolderTree::SelectedPath() const {
  if (!hwnd_) return {};
  const Node* node = NodeOf(TreeView_GetSelection(hwnd_));
  if (!node) return {};
  wchar_t buf[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(node->pidl.get(), buf) || !buf[0]) return {};
  return std::u16string(buf, buf + lstrlenW(buf));
}

bool FolderTree::Notify(NMHDR* header, LRESULT* result) {
  if (!hwnd_ || header->hwndFrom != hwnd_) return false;
  switch (header->code) {
    case TVN_ITEMEXPANDINGW: {
      auto* nm = reinterpret_cast<NMTREEVIEWW*>(header);
      if (nm->action & TVE_EXPAND) Fill(nm->itemNew.hItem);
      *result = FALSE;
      return true;
    }
    case TVN_GETDISPINFOW: {
      auto* di = reinterpret_cast<NMTVDISPINFOW*>(header);
      const Node* node = NodeOf(di->item.hItem);
      if (!node) return false;
      auto icon = [&node](UINT extra) {
        SHFILEINFOW sfi{};
        SHGetFileInfoW(reinterpret_cast<LPCWSTR>(node->pidl.get()), 0, &sfi, sizeof sfi,
                       SHGFI_PIDL | SHGFI_SYSICONINDEX | SHGFI_SMALLICON | extra);
        return sfi.iIcon;
      };
      if (di->item.mask & TVIF_IMAGE) di->item.iImage = icon(0);
      if (di->item.mask & TVIF_SELECTEDIMAGE) di->item.iSelectedImage = icon(SHGFI_OPENICON);
      di->item.mask |= TVIF_DI_SETITEM;  // kept: asked once per item
      *result = 0;
      return true;
    }
    case TVN_DELETEITEMW: {
      auto* nm = reinterpret_cast<NMTREEVIEWW*>(header);
      if (nm->itemOld.lParam) Drop(reinterpret_cast<Node*>(nm->itemOld.lParam));
      *result = 0;
      return true;
    }
  }
  return false;
}

}  // namespace kestrel::ui
