// The tree removal's system on Windows: every path reaches the wide calls in its "\\?\" form, so
// any length works and no name is reinterpreted.
#pragma once

#include <string>

#include "sysutil/treeremoval.h"

namespace kestrel {

// "\\?\C:\a" for "C:\a", "\\?\UNC\server\share" for "\\server\share"; other texts unchanged.
std::u16string LongPathForm(const std::u16string& path);

class Win32TreeSystem final : public TreeSystem {
 public:
  EntryKind KindOf(const std::u16string& path, bool& folderlink) override;
  unsigned long List(const std::u16string& folder, std::vector<TreeEntry>& out) override;
  unsigned long RemoveFile(const std::u16string& path) override;
  unsigned long RemoveFolder(const std::u16string& path) override;
};

}  // namespace kestrel
