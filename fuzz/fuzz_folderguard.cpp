// Feeds arbitrary UTF-16 text (little-endian) to the uninstaller's folder guard as a recorded
// folder. The file system here reads paths as Win32 does (stops at a zero, "/" for "\", runs of
// separators collapsed, trailing dots and blanks dropped, "." and ".." applied, short names
// resolved), so whatever the guard allows must be the folder the system would act on, and may
// only be one of the two deletable folders of the table. Anything else traps.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "sysutil/folderguard.h"

namespace {

using namespace kestrel;

// What Win32 makes of a path before it reaches the file system; empty when not drive-absolute.
std::u16string AsWin32Reads(std::u16string p) {
  if (const auto z = p.find(u'\0'); z != std::u16string::npos) p.resize(z);
  for (auto& c : p) {
    if (c == u'/') c = u'\\';
  }
  if (p.rfind(u"\\\\?\\", 0) == 0 || p.rfind(u"\\\\.\\", 0) == 0) p = p.substr(4);
  if (p.size() < 3 || p[1] != u':' || p[2] != u'\\') return {};
  std::vector<std::u16string> parts;
  std::size_t start = 3;
  while (start <= p.size()) {
    std::size_t end = p.find(u'\\', start);
    if (end == std::u16string::npos) end = p.size();
    std::u16string part = p.substr(start, end - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (part != u".") {
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
      if (!part.empty()) parts.push_back(part);
    }
    start = end + 1;
  }
  std::u16string out = p.substr(0, 3);
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? u"\\" : u"") + parts[i];
  return out;
}

class Win32Like final : public PathFacts {
 public:
  Win32Like() {
    for (const char16_t* f :
         {u"C:\\", u"C:\\Windows", u"C:\\Windows\\System32", u"C:\\Windows\\System32\\drivers",
          u"C:\\Program Files", u"C:\\Program Files\\Vendor", u"C:\\Program Files\\Vendor\\Tool",
          u"C:\\Users", u"C:\\Users\\me", u"C:\\Users\\me\\Downloads"}) {
      table_[FoldPath(f)] = f;
    }
  }
  PathKind KindOf(const std::u16string& p) override {
    return Find(p).empty() ? PathKind::kNone : PathKind::kFolder;
  }
  std::u16string LongPath(const std::u16string& p) override { return Find(p); }
  std::optional<FileIdentity> Identity(const std::u16string& p) override {
    const std::u16string f = Find(p);
    if (f.empty()) return std::nullopt;
    return FileIdentity{1, std::hash<std::u16string>{}(FoldPath(f))};
  }
  bool HasIdentities() override { return true; }
  bool Representable(const std::u16string& p) override {
    return p.find(u'\0') == std::u16string::npos;
  }

 private:
  std::u16string Find(const std::u16string& raw) {
    std::u16string p = FoldPath(AsWin32Reads(raw));
    for (const auto& [shortname, longname] : kShort) {
      if (p.rfind(shortname, 0) == 0) p = longname + p.substr(shortname.size());
    }
    const auto it = table_.find(p);
    return it == table_.end() ? std::u16string() : it->second;
  }
  const std::vector<std::pair<std::u16string, std::u16string>> kShort = {
      {u"C:\\PROGRA~1", u"C:\\PROGRAM FILES"}, {u"C:\\WINDOW~1", u"C:\\WINDOWS"}};
  std::map<std::u16string, std::u16string> table_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Win32Like facts;
  static const SystemFolders system{
      {u"C:\\", u"C:\\Program Files", u"C:\\Users", u"C:\\Users\\me", u"C:\\Users\\me\\Downloads"},
      {u"C:\\Windows"}};
  static const FolderGuard guard(system, facts);

  std::u16string path;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    path.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  const FolderDecision d = guard.Decide(path);
  (void)KeptFolderMessage(d);
  (void)PrintablePath(path);
  if (d.remove()) {
    // the guard decided on the folder the system acts on, and only on an ordinary one
    if (FoldPath(facts.LongPath(path)) != FoldPath(d.path)) std::abort();
    const std::u16string f = FoldPath(d.path);
    if (f != u"C:\\PROGRAM FILES\\VENDOR" && f != u"C:\\PROGRAM FILES\\VENDOR\\TOOL") std::abort();
    if (CheckPlainPath(d.path) != PathFault::kNone) std::abort();
  }
  // the same text as a service's command line: whatever it runs counts as the product's only
  // when it is a plain path below the folder
  if (ProgramInFolder(path, u"C:\\Program Files\\Vendor\\Tool")) {
    const std::u16string program = ProgramOfCommand(path);
    if (!FoldPath(program).starts_with(u"C:\\PROGRAM FILES\\VENDOR\\TOOL\\")) std::abort();
    if (CheckPlainPath(program) != PathFault::kNone) std::abort();
  }
  return 0;
}
