#include "sysutil/treeremoval.h"

namespace kestrel {
namespace {

// How often a folder that is not empty after its listed entries went is listed again.
constexpr int kRelists = 3;

bool PlainComponent(std::u16string_view part) {
  if (part.empty() || part.find_first_not_of(u". ") == std::u16string_view::npos) return false;
  for (char16_t c : part) {
    if (c < 0x20 || c == u'/' || c == u'\\') return false;
  }
  return true;
}

bool PlainComponents(std::u16string_view path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(u'\\', start);
    if (!PlainComponent(path.substr(start, end == path.npos ? path.npos : end - start)))
      return false;
    if (end == path.npos) return true;
    start = end + 1;
  }
}

// An entry name from a listing names exactly one entry below its folder.
bool PlainName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c == 0 || c == u'\\' || c == u'/') return false;
  }
  return true;
}

}  // namespace

bool IsWalkablePath(std::u16string_view path) {
  if (path.size() > 3 && path[1] == u':' && path[2] == u'\\') {
    const char16_t d = path[0];
    return ((d >= u'A' && d <= u'Z') || (d >= u'a' && d <= u'z')) &&
           PlainComponents(path.substr(3));
  }
  if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\') {
    const auto rest = path.substr(2);
    // a server and a share at least; "\\?\" and "\\.\" are not plain paths
    return rest.find(u'\\') != rest.npos && PlainComponents(rest) && rest[0] != u'?' &&
           rest[0] != u'.';
  }
  return false;
}

TreeOutcome RemoveTree(TreeSystem& sys, const std::u16string& root) {
  TreeOutcome out;
  auto stop = [&](const std::u16string& where, unsigned long error) {
    out.failed = where;
    out.error = error;
    return out;
  };
  if (!IsWalkablePath(root)) return stop(root, kErrorInvalidName);
  bool folderlink = false;
  switch (sys.KindOf(root, folderlink)) {
    case EntryKind::kNone:
      out.complete = true;
      return out;
    case EntryKind::kFile:
      return stop(root, kErrorInvalidName);
    case EntryKind::kLink: {
      const unsigned long e = folderlink ? sys.RemoveFolder(root) : sys.RemoveFile(root);
      if (e != 0) return stop(root, e);
      ++out.links;
      out.complete = true;
      return out;
    }
    case EntryKind::kFolder:
      break;
  }

  // Each folder is listed, its files and links go, its folders are walked, then it goes itself.
  struct Level {
    std::u16string path;
    std::vector<TreeEntry> entries;
    std::size_t next = 0;
    int relists = 0;
  };
  std::vector<Level> stack;
  auto enter = [&](const std::u16string& path, Level& level) -> unsigned long {
    level.path = path;
    level.entries.clear();
    level.next = 0;
    return sys.List(path, level.entries);
  };
  stack.emplace_back();
  if (const unsigned long e = enter(root, stack.back())) return stop(root, e);
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next < level.entries.size()) {
      const TreeEntry entry = level.entries[level.next++];
      if (!PlainName(entry.name)) return stop(level.path, kErrorInvalidName);
      const std::u16string path = level.path + u"\\" + entry.name;
      unsigned long e = 0;
      switch (entry.kind) {
        case EntryKind::kNone:
          break;
        case EntryKind::kFile:
          e = sys.RemoveFile(path);
          if (e == 0) ++out.files;
          break;
        case EntryKind::kLink:
          e = entry.folderlink ? sys.RemoveFolder(path) : sys.RemoveFile(path);
          if (e == 0) ++out.links;
          break;
        case EntryKind::kFolder: {
          Level child;
          e = enter(path, child);
          // gone meanwhile: nothing left to remove there
          if (e == kErrorFileNotFound || e == kErrorPathNotFound)
            e = 0;
          else if (e == 0)
            stack.push_back(std::move(child));
          break;
        }
      }
      if (e != 0 && e != kErrorFileNotFound && e != kErrorPathNotFound) return stop(path, e);
      continue;
    }
    const unsigned long e = sys.RemoveFolder(level.path);
    if (e == kErrorDirNotEmpty && level.relists < kRelists) {
      // something arrived while it was walked: list it again
      const int relists = level.relists + 1;
      if (const unsigned long le = enter(level.path, level)) return stop(level.path, le);
      level.relists = relists;
      continue;
    }
    if (e != 0 && e != kErrorFileNotFound && e != kErrorPathNotFound) return stop(level.path, e);
    ++out.folders;
    stack.pop_back();
  }
  out.complete = true;
  return out;
}

std::vector<std::u16string> FilesBelow(TreeSystem& sys, const std::u16string& root,
                                       std::size_t limit) {
  std::vector<std::u16string> files;
  bool folderlink = false;
  if (!IsWalkablePath(root) || sys.KindOf(root, folderlink) != EntryKind::kFolder) return files;
  std::vector<std::u16string> pending{root};
  while (!pending.empty() && files.size() < limit) {
    const std::u16string folder = std::move(pending.back());
    pending.pop_back();
    std::vector<TreeEntry> entries;
    if (sys.List(folder, entries) != 0) continue;
    for (const TreeEntry& e : entries) {
      if (!PlainName(e.name)) continue;
      const std::u16string path = folder + u"\\" + e.name;
      if (e.kind == EntryKind::kFolder) {
        pending.push_back(path);
      } else if (e.kind == EntryKind::kFile || (e.kind == EntryKind::kLink && !e.folderlink)) {
        if (files.size() < limit) files.push_back(path);
      }
    }
  }
  return files;
}

}  // namespace kestrel
