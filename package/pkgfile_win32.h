// The Package file handle and file system over the Windows file calls.
#pragma once

#include <memory>

#include "package/pkgfile.h"

namespace kestrel {

// Looks up the 64-bit size and seek calls by name; call once at start-up, before any thread
// exists. Without them (older systems) files are handled through the 32-bit calls.
void BindFileFunctions64();
// True when both 64-bit calls were found.
bool HaveFileFunctions64();

// The system's file system; the files it makes follow the wide-or-8-bit rule for their paths.
FileSystem& SystemFileSystem();

}  // namespace kestrel
