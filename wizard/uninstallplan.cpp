#include "wizard/uninstallplan.h"

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

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

UninstallPlan PlanUninstall(const UninstallInput& in) {
  UninstallPlan plan;
  plan.installfolder = Guarded(StripTrailingBackslash(in.basefolder), in.keep);

  if (!in.programgroup.empty()) {
    plan.programgroup = Guarded(
        StripTrailingBackslash(StripTrailingBackslash(in.programsfolder) + in.programgroup),
        in.keep);
  }
  plan.vendorfolder = AddTrailingBackslash(in.programsfolder) + u"Halvard";

  if (!in.appdatafolder.empty()) {
    plan.settings =
        Guarded(AddTrailingBackslash(in.appdataroot) + FromCodePage(in.appdatafolder), in.keep);
  }
  if (!in.desktop.empty()) plan.desktoplink = DecodeLetterHex(in.desktop);
  plan.startmenulink = AddTrailingBackslash(in.startmenufolder) +
                       CleanFileName(FromCodePage(in.displayname)) + u".lnk";

  // An empty name would make each of these the parent key of every product's entry.
  if (!in.displayname.empty()) {
    plan.keytrees.emplace_back(RegRoot::kLocalMachine, UninstallKey(in.displayname));
  }
  if (!in.exename.empty()) {
    plan.keytrees.emplace_back(RegRoot::kLocalMachine, AppPathsKey(in.exename));
    plan.keytrees.emplace_back(RegRoot::kCurrentUser,
                               "software\\microsoft\\windows\\currentversion\\run\\" + in.exename);
  }
  if (!in.startpath.empty()) {
    std::string key = PerUserGroupKey(in.startpath);
    if (!key.empty()) plan.keytrees.emplace_back(RegRoot::kCurrentUser, std::move(key));
  }
  return plan;
}

}  // namespace kestrel
