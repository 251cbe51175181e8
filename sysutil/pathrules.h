// Path texts as Win32 acts on them: whether a text is a plain path that a system call takes
// literally, names folded as Windows compares them, and which program a command line runs and
// whether it lies inside a folder. Shared by the uninstaller's folder guard and the install's
// check of earlier services; portable, no OS headers.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Why a text is not a plain path that Win32 would act on exactly as written.
enum class PathFault {
  kNone,
  kEmpty,
  kTooLong,             // 260 units or more: the shell's operation cannot take it whole
  kControlCharacter,    // NUL or another control character: a call may stop at it
  kBrokenSurrogate,     // half of a UTF-16 pair
  kNotLocal,            // relative, drive-relative ("C:x"), UNC, "\\?\" or "\\.\" forms
  kForwardSlash,        // Win32 reads "/" as a separator
  kReservedCharacter,   // < > : " | ? * (a ":" also opens a data stream)
  kEmptyComponent,      // repeated separators, which Win32 collapses
  kDotComponent,        // "." or "..", or only dots and blanks
  kTrailingDotOrBlank,  // Win32 drops them: "C:\windows." is C:\windows
  kDeviceName,          // CON, NUL, AUX, PRN, COM0-9, LPT0-9 with or without an extension
  kDriveRoot,           // "C:" or "C:\": never a folder to delete
};

// Checks a full local path ("X:\a\b", no trailing separator).
PathFault CheckPlainPath(std::u16string_view path);
// Checks one file or folder name.
PathFault CheckPlainName(std::u16string_view name);
// A short description of the fault for messages and logs.
std::u16string PathFaultText(PathFault fault);

// Path text folded as Windows compares names: letters to capitals (ASCII, Latin-1, Latin
// Extended-A, Greek, Cyrillic, fullwidth Latin), every "/" to "\".
std::u16string FoldPath(std::u16string_view path);
// The path for a message: control characters shown as [U+XXXX] instead of cutting it.
std::u16string PrintablePath(std::u16string_view path);

// A drive letter: A-Z in either case.
bool IsDriveLetter(char16_t c);

// The program a command line runs (a service's binary path, a class's open command): the text
// inside the quotes when it begins with one, else the text up to the first blank, the first
// name the system tries for an unquoted line.
std::u16string ProgramOfCommand(std::u16string_view command);
// The same for a log line: control characters shown, the whole command when it names no program.
std::u16string ShownProgram(std::u16string_view command);

// True when the program `command` runs lies inside `folder`: its path is the folder's, compared
// folded on whole components (so "C:\Apps\Tool" does not hold "C:\Apps\Tool2\x.exe"),
// followed by plain names only (no ".." climbing out again). A folder that is a root, relative,
// or holds a "." or ".." step or a repeated separator holds nothing; whether the folder itself
// is the product's is the caller's to judge.
bool ProgramInFolder(std::u16string_view command, std::u16string_view folder);

}  // namespace kestrel
