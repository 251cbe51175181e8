// An in-memory file tree for the tree removal and the uninstall run: files, folders and links
// (a link's target is never reached through it), names compared without letter case, and a hook
// that runs when a folder is listed, to change the tree while it is walked.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sysutil/treeremoval.h"
#include "sysutil/winname.h"

namespace kestrel::testing {

class FakeTree final : public TreeSystem {
 public:
  struct Node {
    EntryKind kind;
    bool folderlink = false;
    bool locked = false;      // a file in use: it cannot be removed
    unsigned long error = 0;  // when not 0: removing the file fails with this error
  };
  std::map<std::u16string, Node> nodes;                       // key: the path folded by UpcaseName
  std::map<std::u16string, std::u16string> shown;             // folded -> as created
  std::vector<std::string> calls;                             // "list X", "rm X", "rmdir X"
  std::function<void(const std::u16string& folder)> on_list;  // after each listing

  void Add(const std::u16string& path, EntryKind kind, bool folderlink = false) {
    // every folder above it exists
    for (std::size_t k = path.find(u'\\', 3); k != std::u16string::npos;
         k = path.find(u'\\', k + 1)) {
      const std::u16string up = path.substr(0, k);
      if (!nodes.count(UpcaseName(up))) {
        nodes[UpcaseName(up)] = {EntryKind::kFolder};
        shown[UpcaseName(up)] = up;
      }
    }
    nodes[UpcaseName(path)] = {kind, folderlink};
    shown[UpcaseName(path)] = path;
  }
  bool Has(const std::u16string& path) const { return nodes.count(UpcaseName(path)) > 0; }

  EntryKind KindOf(const std::u16string& path, bool& folderlink) override {
    auto it = nodes.find(UpcaseName(path));
    if (it == nodes.end()) return EntryKind::kNone;
    folderlink = it->second.folderlink;
    return it->second.kind;
  }
  unsigned long List(const std::u16string& folder, std::vector<TreeEntry>& out) override {
    calls.push_back("list " + Narrow(folder));
    out.clear();
    auto it = nodes.find(UpcaseName(folder));
    if (it == nodes.end()) return kErrorPathNotFound;
    if (it->second.kind != EntryKind::kFolder) return 267;  // a link: never entered
    const std::u16string prefix = UpcaseName(folder) + u"\\";
    for (const auto& [key, node] : nodes) {
      if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) continue;
      if (key.find(u'\\', prefix.size()) != std::u16string::npos) continue;
      const std::u16string& full = shown.at(key);
      out.push_back(
          {full.substr(full.size() - (key.size() - prefix.size())), node.kind, node.folderlink});
    }
    if (on_list) on_list(folder);  // changes after the listing was taken
    return 0;
  }
  unsigned long RemoveFile(const std::u16string& path) override {
    calls.push_back("rm " + Narrow(path));
    auto it = nodes.find(UpcaseName(path));
    if (it == nodes.end()) return 0;
    if (it->second.kind == EntryKind::kFolder || it->second.folderlink) return kErrorAccessDenied;
    if (it->second.locked) return 32;  // sharing violation
    if (it->second.error) return it->second.error;
    nodes.erase(it);
    return 0;
  }
  unsigned long RemoveFolder(const std::u16string& path) override {
    calls.push_back("rmdir " + Narrow(path));
    auto it = nodes.find(UpcaseName(path));
    if (it == nodes.end()) return 0;
    if (it->second.kind == EntryKind::kFile) return 267;
    if (it->second.kind == EntryKind::kFolder) {
      const std::u16string prefix = UpcaseName(path) + u"\\";
      for (const auto& [key, node] : nodes) {
        if (key.compare(0, prefix.size(), prefix) == 0) return kErrorDirNotEmpty;
      }
    }
    nodes.erase(it);
    return 0;
  }

  static std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
  }
};

}  // namespace kestrel::testing
