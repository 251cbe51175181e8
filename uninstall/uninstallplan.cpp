#include "uninstall/uninstallplan.h"

#include <algorithm>

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/texts.h"

namespace kestrel {
namespace {

// Folds a path for comparison: "/" becomes "\", a "\\?\" prefix and runs of "\" collapse,
// trailing "\" go, letters a-z become capitals. Returns the components; `rooted` tells whether
// it starts at a drive or a share. Empty components are dropped.
struct Folded {
  std::vector<std::u16string> parts;  // parts[0] is "C:" or the "\\server\share" head
  bool rooted = false;
  bool dots = false;  // holds a "." or ".." component
};

Folded Fold(const std::u16string& raw) {
  std::u16string p;
  p.reserve(raw.size());
  for (char16_t c : raw) {
    if (c == u'/') c = u'\\';
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    p.push_back(c);
  }
  if (p.rfind(u"\\\\?\\UNC\\", 0) == 0) {
    p = u"\\\\" + p.substr(8);
  } else if (p.rfind(u"\\\\?\\", 0) == 0 || p.rfind(u"\\\\.\\", 0) == 0) {
    p = p.substr(4);
  }
  Folded f;
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (char16_t c : p) {
    if (c == u'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  for (const auto& part : parts) {
    // Windows drops trailing dots and blanks, so "..." and ". ." are dot components too
    bool only_dots = part.find_first_not_of(u". ") == std::u16string::npos;
    if (only_dots && part.find(u'.') != std::u16string::npos) f.dots = true;
  }
  if (p.size() >= 2 && p[1] == u':' && !parts.empty()) {
    f.rooted = parts[0].size() == 2;  // "C:" and not "C:x"
  } else if (p.rfind(u"\\\\", 0) == 0 && parts.size() >= 2) {
    parts[0] = u"\\\\" + parts[0] + u"\\" + parts[1];  // the share is the root
    parts.erase(parts.begin() + 1);
    f.rooted = true;
  }
  f.parts = std::move(parts);
  return f;
}

// True when `a` is `b` or a folder above it.
bool Contains(const Folded& a, const Folded& b) {
  if (a.parts.size() > b.parts.size()) return false;
  for (std::size_t i = 0; i < a.parts.size(); ++i) {
    if (a.parts[i] != b.parts[i]) return false;
  }
  return true;
}

FolderDelete Guarded(std::u16string path, const std::vector<std::u16string>& keep) {
  FolderDelete d;
  d.refused = IsProtectedFolder(path, keep);
  d.path = std::move(path);
  return d;
}

// The guard's verdict joined with the text check above: either one keeps the folder.
void Judge(FolderDelete& d, FolderDecision decision) {
  if (!decision.kept() && d.refused) decision.reason = FolderReason::kSystemFolder;
  d.refused = decision.kept();
  if (decision.remove()) d.path = decision.path;
  d.decision = std::move(decision);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return out;
}

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end == path.npos ? path.npos : end - start));
    if (end == path.npos) return parts;
    start = end + 1;
  }
}

// Keys every product shares, lower case. A tree at or above one of them is never removed.
constexpr std::string_view kSharedKeys[] = {
    "software\\microsoft\\windows\\currentversion\\app paths",
    "software\\microsoft\\windows\\currentversion\\uninstall",
    "software\\microsoft\\windows\\currentversion\\run",
    "software\\microsoft\\windows\\currentversion\\runonce",
    "software\\microsoft\\windows\\currentversion\\explorer",
    "software\\microsoft\\windows nt\\currentversion",
    "software\\wow6432node\\microsoft\\windows\\currentversion\\app paths",
    "software\\wow6432node\\microsoft\\windows\\currentversion\\uninstall",
    "software\\wow6432node\\microsoft\\windows\\currentversion\\run",
    "software\\classes",
    "software\\policies",
    "system\\currentcontrolset\\services",
};
// Below HKEY_CLASSES_ROOT: the system's own classes and the extensions of programs.
constexpr std::string_view kSharedClasses[] = {
    "*",       "clsid",     "directory", "folder", "drive",   "allfilesystemobjects",
    "appid",   "interface", "typelib",   "mime",   "exefile", "lnkfile",
    "batfile", "cmdfile",   "comfile",   ".exe",   ".lnk",    ".com",
    ".bat",    ".cmd",      ".dll",      ".sys",   ".scr",    ".pif"};

// `a` is `b` or a key above it (components compared in lower case).
bool AtOrAbove(const std::vector<std::string_view>& a, std::string_view b) {
  const auto pb = Components(b);
  if (a.size() > pb.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != pb[i]) return false;
  }
  return true;
}

}  // namespace

bool IsProtectedFolder(const std::u16string& path, const std::vector<std::u16string>& keep) {
  const Folded f = Fold(path);
  if (!f.rooted || f.dots || f.parts.size() < 2) return true;
  for (const auto& k : keep) {
    const Folded fk = Fold(k);
    if (fk.rooted && !fk.parts.empty() && Contains(f, fk)) return true;
  }
  return false;
}

std::optional<std::string> ClassKeyToRemove(const std::string& classname) {
  if (classname == kClassKey) return classname;
  return std::nullopt;
}

std::string PerUserGroupKey(const std::string& startpath) {
  const std::u16string group = DecodeLetterHex(startpath);
  // "software" plus the group's own components; nothing that could name "software" itself
  std::string key = "software";
  std::u16string cur;
  bool any = false;
  auto flush = [&]() -> bool {
    if (cur.empty()) return true;
    if (cur.find_first_not_of(u". ") == std::u16string::npos) return false;
    key += "\\" + ToCodePage(cur);
    cur.clear();
    any = true;
    return true;
  };
  for (char16_t c : group) {
    if (c == u'\\' || c == u'/') {
      if (!flush()) return {};
    } else {
      cur.push_back(c);
    }
  }
  if (!flush() || !any) return {};
  return key;
}

std::string OwnedUserKey(const std::string& startpath) {
  const std::string key = PerUserGroupKey(startpath);
  if (key.empty()) return {};
  const auto parts = Components(key);  // "software", vendor, product...
  if (parts.size() < 3) return {};
  const std::string vendor = LowerAscii(parts[1]);
  for (std::string_view own : {"microsoft", "classes", "policies", "wow6432node", "wine"}) {
    if (vendor == own) return {};
  }
  if (!IsRemovableKeyTree(RegRoot::kCurrentUser, key)) return {};
  return key;
}

std::u16string DeleteFailedMessage(const std::u16string& folder, int shellresult) {
  // access denied, sharing and lock violations, and the shell's own access-denied code
  const bool in_use =
      shellresult == 5 || shellresult == 32 || shellresult == 33 || shellresult == 0x78;
  if (in_use) return Tr(TextId::delete_failed_in_use, {{u"folder", folder}});
  std::u16string code;
  for (unsigned v = static_cast<unsigned>(shellresult); code.empty() || v; v /= 10)
    code.insert(code.begin(), char16_t(u'0' + v % 10));
  return Tr(TextId::delete_failed_code, {{u"folder", folder}, {u"code", code}});
}

std::optional<std::string> ChildKey(std::string_view parent, std::string_view name, bool filename) {
  if (TrimBlanks(std::string(name)).empty()) return std::nullopt;
  if (name.find('\\') != name.npos) return std::nullopt;
  if (filename && name.find('/') != name.npos) return std::nullopt;
  if (name.find_first_not_of(". ") == name.npos) return std::nullopt;
  if (name.find('\0') != name.npos) return std::nullopt;
  return std::string(parent) + "\\" + std::string(name);
}

bool IsRemovableKeyTree(RegRoot root, std::string_view path) {
  if (path.empty()) return false;
  const auto parts = Components(path);
  for (std::string_view c : parts) {
    if (c.empty() || c.find_first_not_of(". ") == c.npos) return false;
    if (c.find('\0') != c.npos) return false;
  }
  if (root == RegRoot::kClassesRoot) {
    if (parts.size() == 1) {
      for (std::string_view k : kSharedClasses) {
        if (LowerAscii(parts[0]) == k) return false;
      }
    }
    return true;
  }
  if (parts.size() < 2) return false;  // "software", "system": the whole branch
  for (std::string_view k : kSharedKeys) {
    if (AtOrAbove(parts, k)) return false;
  }
  return true;
}

UninstallPlan PlanUninstall(const UninstallInput& in) {
  UninstallPlan plan;
  plan.installfolder = Guarded(StripTrailingBackslash(in.basefolder), in.keep);

  if (!in.programgroup.empty()) {
    plan.programgroup =
        Guarded(StripTrailingBackslash(StripTrailingBackslash(in.programsfolder) + in.programgroup),
                in.keep);
  }
  plan.vendorfolder = AddTrailingBackslash(in.programsfolder) + u"Halvard";

  if (!in.appdatafolder.empty()) {
    plan.settings =
        Guarded(AddTrailingBackslash(in.appdataroot) + FromCodePage(in.appdatafolder), in.keep);
  }
  if (!in.desktop.empty()) {
    // a zero would cut the name at the system call ("a.txt<NUL>.lnk" deletes a.txt)
    std::u16string link = DecodeLetterHex(in.desktop);
    if (std::none_of(link.begin(), link.end(), [](char16_t c) { return c < 0x20; }))
      plan.desktoplink = std::move(link);
  }
  plan.startmenulink = AddTrailingBackslash(in.startmenufolder) +
                       CleanFileName(FromCodePage(in.displayname)) + u".lnk";

  // Each name must name exactly one key below the shared parent: an empty one, "\\" or one
  // with a separator would make these the parent key of every product's entry, or another's.
  auto add = [&](RegRoot root, std::optional<std::string> key) {
    if (key && IsRemovableKeyTree(root, *key)) plan.keytrees.emplace_back(root, std::move(*key));
  };
  const std::string uninstall = UninstallKey("");
  const std::string apppaths = AppPathsKey("");
  add(RegRoot::kLocalMachine,
      ChildKey(std::string_view(uninstall).substr(0, uninstall.size() - 1), in.displayname, false));
  add(RegRoot::kLocalMachine,
      ChildKey(std::string_view(apppaths).substr(0, apppaths.size() - 1), in.exename, true));
  add(RegRoot::kCurrentUser,
      ChildKey("software\\microsoft\\windows\\currentversion\\run", in.exename, true));
  if (!in.startpath.empty()) {
    std::string key = OwnedUserKey(in.startpath);
    if (!key.empty()) plan.keytrees.emplace_back(RegRoot::kCurrentUser, std::move(key));
  }
  return plan;
}

UninstallPlan PlanUninstall(const UninstallInput& in, const FolderGuard& guard) {
  UninstallPlan plan = PlanUninstall(in);
  Judge(plan.installfolder, guard.DecideInstallFolder(StripTrailingBackslash(in.basefolder),
                                                      in.mainprogram, in.exename));
  if (plan.programgroup) Judge(*plan.programgroup, guard.Decide(plan.programgroup->path));
  if (plan.settings) Judge(*plan.settings, guard.Decide(plan.settings->path));
  return plan;
}

}  // namespace kestrel
