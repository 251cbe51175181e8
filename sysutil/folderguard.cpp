#include "sysutil/folderguard.h"

#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"
#include "sysutil/texts.h"

namespace kestrel {
namespace {

// "C:\a\b" -> "C:\a"; "C:\a" -> "C:\"; empty for a root.
std::u16string Parent(const std::u16string& path) {
  const auto cut = path.rfind(u'\\');
  if (cut == std::u16string::npos || path.size() <= 3) return {};
  if (cut == 2) return path.substr(0, 3);
  return path.substr(0, cut);
}

// `inner` lies below `outer` (folded texts).
bool Below(const std::u16string& inner, const std::u16string& outer) {
  if (outer.empty() || inner.size() <= outer.size()) return false;
  if (inner.compare(0, outer.size(), outer) != 0) return false;
  return outer.back() == u'\\' || inner[outer.size()] == u'\\';
}

FolderDecision Verdict(FolderDecision d, FolderReason reason, std::u16string collision = {}) {
  d.reason = reason;
  d.collision = std::move(collision);
  return d;
}

}  // namespace

std::optional<FileIdentity> FolderGuard::IdentityOf(const std::u16string& path) const {
  return facts_.HasIdentities() ? facts_.Identity(path) : std::nullopt;
}

FolderGuard::FolderGuard(const SystemFolders& system, PathFacts& facts) : facts_(facts) {
  auto resolve = [&](const std::u16string& raw) {
    Known k;
    std::u16string p = raw;
    if (p.size() > 3) p = StripTrailingBackslash(p);
    std::u16string lp = facts_.KindOf(p) != PathKind::kNone ? facts_.LongPath(p) : u"";
    if (lp.size() > 3) lp = StripTrailingBackslash(lp);
    k.shown = lp.empty() ? p : lp;
    k.folded = FoldPath(k.shown);
    if (!lp.empty()) k.id = IdentityOf(lp);
    return k;
  };
  std::vector<std::u16string> seen;  // folded paths whose parents are already listed
  auto add_above = [&](const Known& k) {
    // only local paths: the parents of a share's path are no folders of this machine
    if (k.shown.size() < 3 || !IsDriveLetter(k.shown[0]) || k.shown[1] != u':' ||
        k.shown[2] != u'\\')
      return;
    for (std::u16string p = Parent(k.shown); !p.empty(); p = Parent(p)) {
      const std::u16string f = FoldPath(p);
      bool listed = false;
      for (const auto& s : seen) listed = listed || s == f;
      if (listed) break;  // and so are the ones above it
      seen.push_back(f);
      above_.push_back(Known{f, k.shown, IdentityOf(p)});
    }
  };
  for (const auto& s : system.subtrees) {
    if (s.empty()) continue;
    subtrees_.push_back(resolve(s));
    folders_.push_back(subtrees_.back());
    add_above(subtrees_.back());
  }
  for (const auto& f : system.folders) {
    if (f.empty()) continue;
    folders_.push_back(resolve(f));
    add_above(folders_.back());
  }
}

FolderDecision FolderGuard::Decide(const std::u16string& path) const {
  FolderDecision d;
  d.recorded = path;
  std::u16string p = path;
  // one separator at the end is how the folder was recorded; two are not
  if (p.size() > 3 && p.back() == u'\\') p.pop_back();
  d.fault = CheckPlainPath(p);
  if (d.fault != PathFault::kNone) return Verdict(d, FolderReason::kBadSpelling);
  if (!facts_.Representable(p)) return Verdict(d, FolderReason::kUnrepresentable);
  switch (facts_.KindOf(p)) {
    case PathKind::kNone:
      return Verdict(d, FolderReason::kAbsent);
    case PathKind::kFile:
      return Verdict(d, FolderReason::kNotFolder);
    case PathKind::kFolder:
      break;
  }
  // from here on the folder as the system names it: short names, letter case resolved
  std::u16string lp = facts_.LongPath(p);
  if (lp.size() > 3 && lp.back() == u'\\') lp.pop_back();
  if (lp.empty() || CheckPlainPath(lp) != PathFault::kNone || !facts_.Representable(lp))
    return Verdict(d, FolderReason::kUnresolved);
  if (lp[0] >= u'a' && lp[0] <= u'z') lp[0] = char16_t(lp[0] - 0x20);  // "c:" as "C:"
  d.path = lp;
  const std::optional<FileIdentity> id = IdentityOf(lp);
  if (!id && facts_.HasIdentities()) return Verdict(d, FolderReason::kUnresolved);
  const std::u16string folded = FoldPath(lp);

  for (const Known& k : folders_) {
    if (k.folded == folded || (id && k.id && *id == *k.id))
      return Verdict(d, FolderReason::kSystemFolder, k.shown);
  }
  for (const Known& k : folders_) {
    if (Below(k.folded, folded)) return Verdict(d, FolderReason::kHoldsSystemFolder, k.shown);
  }
  if (id) {
    for (const Known& a : above_) {
      if (a.id && *a.id == *id) return Verdict(d, FolderReason::kHoldsSystemFolder, a.shown);
    }
  }
  const std::u16string windows = SubtreeHolding(lp, false);
  if (!windows.empty()) return Verdict(d, FolderReason::kInsideWindows, windows);
  return Verdict(d, FolderReason::kDelete);
}

std::u16string FolderGuard::SubtreeHolding(const std::u16string& folder, bool from_self) const {
  const std::u16string folded = FoldPath(folder);
  for (const Known& s : subtrees_) {
    if (Below(folded, s.folded) || (from_self && folded == s.folded)) return s.shown;
  }
  // by identity too: a folder reached through another name of a folder above it
  for (std::u16string up = from_self ? folder : Parent(folder);
       !up.empty() && facts_.HasIdentities(); up = Parent(up)) {
    const std::optional<FileIdentity> uid = facts_.Identity(up);
    if (!uid) continue;
    for (const Known& s : subtrees_) {
      if (s.id && *s.id == *uid) return s.shown;
    }
  }
  return {};
}

FolderDecision FolderGuard::DecideDestination(const std::u16string& path) const {
  FolderDecision d = Decide(path);
  if (d.reason != FolderReason::kAbsent) return d;
  // Not there yet: the nearest folder above it that stands, resolved, with the new names behind
  // it, is the folder it will be. Decide checked the spelling, so every step up is plain.
  std::u16string p = path;
  if (p.size() > 3 && p.back() == u'\\') p.pop_back();
  std::u16string rest;
  std::u16string above = p;
  for (;;) {
    const auto cut = above.rfind(u'\\');
    if (cut == std::u16string::npos || above.size() <= 3)
      return Verdict(d, FolderReason::kUnresolved);
    rest = above.substr(cut) + rest;
    above = cut == 2 ? above.substr(0, 3) : above.substr(0, cut);
    const PathKind kind = facts_.KindOf(above);
    if (kind == PathKind::kFile) return Verdict(d, FolderReason::kNotFolder, above);
    if (kind == PathKind::kFolder) break;
  }
  std::u16string lp = facts_.LongPath(above);
  if (lp.size() > 3 && lp.back() == u'\\') lp.pop_back();
  if (lp.empty() || !facts_.Representable(lp)) return Verdict(d, FolderReason::kUnresolved);
  if (lp[0] >= u'a' && lp[0] <= u'z') lp[0] = char16_t(lp[0] - 0x20);  // "c:" as "C:"
  // a drive root keeps its separator: "C:\" + "Tool" is "C:\Tool"
  d.path = lp.back() == u'\\' ? lp + rest.substr(1) : lp + rest;
  if (CheckPlainPath(d.path) != PathFault::kNone || !facts_.Representable(d.path))
    return Verdict(d, FolderReason::kUnresolved);
  const std::u16string folded = FoldPath(d.path);
  for (const Known& k : folders_) {
    if (k.folded == folded) return Verdict(d, FolderReason::kSystemFolder, k.shown);
  }
  for (const Known& k : folders_) {
    if (Below(k.folded, folded)) return Verdict(d, FolderReason::kHoldsSystemFolder, k.shown);
  }
  const std::u16string windows = SubtreeHolding(lp, true);
  if (!windows.empty()) return Verdict(d, FolderReason::kInsideWindows, windows);
  return d;  // kAbsent: a new folder of its own
}

FolderDecision FolderGuard::DecideInstallFolder(const std::u16string& path,
                                                const std::string& mainprogram,
                                                const std::string& exename) const {
  FolderDecision d = Decide(path);
  const std::u16string recorded_main = FromCodePage(mainprogram);
  const bool main_plain =
      CheckPlainPath(recorded_main) == PathFault::kNone && facts_.Representable(recorded_main);
  if (d.reason == FolderReason::kAbsent) {
    // gone already, unless the program it should hold is still somewhere else
    if (main_plain && facts_.KindOf(recorded_main) == PathKind::kFile)
      return Verdict(d, FolderReason::kNotRecorded);
    return d;
  }
  if (!d.remove()) return d;

  const std::u16string name = FromCodePage(exename);
  if (CheckPlainName(name) != PathFault::kNone) return Verdict(d, FolderReason::kNotRecorded);
  const std::u16string expected = d.path + u"\\" + name;
  if (!facts_.Representable(expected) || facts_.KindOf(expected) != PathKind::kFile)
    return Verdict(d, FolderReason::kNotRecorded);

  bool same = false;
  if (main_plain && facts_.KindOf(recorded_main) == PathKind::kFile) {
    const std::u16string a = facts_.LongPath(recorded_main);
    const std::u16string b = facts_.LongPath(expected);
    same = !a.empty() && FoldPath(a) == FoldPath(b);
    if (!same) {
      const auto ia = IdentityOf(recorded_main), ib = IdentityOf(expected);
      same = ia && ib && *ia == *ib;
    }
  } else {
    // A folder name the code page lacks was recorded with replacement characters; the
    // installer wrote exactly this text for exactly this "Path", and the program is there.
    bool lossless = true;
    const std::string written = ToCodePage(AddTrailingBackslash(path), &lossless) + exename;
    same = !lossless && written == mainprogram;
  }
  if (!same) return Verdict(d, FolderReason::kNotRecorded);
  return d;
}

namespace {

// Why a folder was judged as it was, in the words both messages use; empty for the reasons
// each says in its own.
std::u16string SharedReason(const FolderDecision& d) {
  switch (d.reason) {
    case FolderReason::kHoldsSystemFolder:
      return Tr(TextId::kept_holds_system_folder, {{u"folder", d.collision}});
    case FolderReason::kInsideWindows:
      return Tr(TextId::kept_inside_windows);
    case FolderReason::kUnrepresentable:
      return Tr(TextId::kept_unrepresentable);
    default:
      return {};
  }
}

}  // namespace

std::u16string KeptFolderMessage(const FolderDecision& d) {
  if (!d.kept()) return {};
  const std::u16string shown = d.path.empty() ? PrintablePath(d.recorded) : d.path;
  std::u16string why = SharedReason(d);
  switch (d.reason) {
    case FolderReason::kSystemFolder:
      why = Tr(TextId::kept_system_folder);
      break;
    case FolderReason::kBadSpelling:
      why = Tr(TextId::kept_bad_spelling, {{u"reason", PathFaultText(d.fault)}});
      break;
    case FolderReason::kNotFolder:
      why = Tr(TextId::kept_not_folder);
      break;
    case FolderReason::kUnresolved:
      why = Tr(TextId::kept_unresolved);
      break;
    case FolderReason::kNotRecorded:
      why = Tr(TextId::kept_not_recorded);
      break;
    default:
      break;
  }
  return Tr(TextId::folder_kept, {{u"folder", shown}, {u"reason", why}});
}

std::u16string RefusedDestinationMessage(const FolderDecision& d) {
  if (!d.kept() || d.reason == FolderReason::kNotRecorded) return {};
  const std::u16string shown = PrintablePath(d.recorded);
  std::u16string why = SharedReason(d);
  switch (d.reason) {
    case FolderReason::kSystemFolder:
      why = Tr(TextId::refused_system_folder);
      break;
    case FolderReason::kBadSpelling:
      why = std::u16string(PathFaultText(d.fault));
      break;
    case FolderReason::kNotFolder:
      why = Tr(TextId::refused_is_file, {{u"path", d.collision.empty() ? shown : d.collision}});
      break;
    case FolderReason::kUnresolved:
      why = Tr(TextId::refused_unresolved);
      break;
    default:
      break;
  }
  return Tr(TextId::refused_destination, {{u"folder", shown}, {u"reason", why}});
}

bool ProgramInInstallFolder(const FolderDecision& install, std::u16string_view command,
                            PathFacts& facts) {
  if (install.kept()) return false;
  if (ProgramInFolder(command, install.recorded)) return true;
  if (install.path.empty()) return false;  // absent: only the recorded spelling is known
  if (ProgramInFolder(command, install.path)) return true;
  // another spelling of a program that is there (a short name): compared as the system names it
  const std::u16string program = ProgramOfCommand(command);
  if (CheckPlainPath(program) != PathFault::kNone || facts.KindOf(program) != PathKind::kFile)
    return false;
  const std::u16string resolved = facts.LongPath(program);
  return !resolved.empty() && ProgramInFolder(u"\"" + resolved + u"\"", install.path);
}

}  // namespace kestrel
