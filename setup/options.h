// The command line of setup.exe, read into one options value.
//
// No argument installs; "-ui" (exactly, as the installed uninstall strings say) followed by the
// main program's name uninstalls; any other first argument installs. Switches may follow
// anywhere after argument 0 (after the program name in uninstall mode), letter case ignored,
// with "/" or "-" in front: S (also SILENT and VERYSILENT), PASSIVE, LOG=FILE, PASSWORD=TEXT,
// PASSWORDFILE=FILE and D=PATH, which takes the whole rest of the line, blanks and all, once the
// password switches are taken out of it. Unknown arguments are kept so the log can name them;
// they change nothing.
//
// A password never reaches the log: every argument that looks like a password switch in any
// spelling ("/PASSWORD:x", "--password=x", "/Password = x", "/PASS x") is shown masked, and so
// is the argument a bare one may have meant as its value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sysutil/log.h"
#include "sysutil/outcome.h"

namespace kestrel {

struct SetupOptions {
  bool uninstallmode = false;
  std::u16string exename;  // uninstall mode: the main program named after "-ui"
  UiLevel ui = UiLevel::kFull;
  std::optional<std::u16string> destination;  // /D=
  std::u16string logfile;                     // /LOG=; empty: no log
  std::optional<std::u16string> password;     // /PASSWORD=
  std::u16string passwordfile;                // /PASSWORDFILE=
  std::u16string language;                    // /LANG=: a language code such as "de"
  std::vector<std::u16string> ignored;        // arguments that mean nothing here
  // Switches whose value is unusable, each as "/NAME=value: why"; an unattended run refuses
  // to start with any of them.
  std::vector<std::u16string> problems;

  bool unattended() const { return ui != UiLevel::kFull; }
};

// One argument as the system's rules split it, and where it starts in the line.
struct CommandArgument {
  std::u16string text;
  std::size_t offset = 0;
};

// Splits a command line the way the system's runtime does: argument 0 up to a blank (quotes
// only group), then blanks separate, quotes group, 2n backslashes before a quote give n and
// the quote groups, 2n+1 give n and a literal quote, "" inside a group is a literal quote.
std::vector<CommandArgument> SplitCommandLine(std::u16string_view line);

// Reads the whole command line (as GetCommandLineW gives it).
SetupOptions ParseCommandLine(std::u16string_view line);

// The command line as the log may show it: the value of every password switch replaced by
// "***", then MaskPasswords, for a switch the arguments do not show on its own.
std::u16string WithoutPassword(std::u16string_view line);

// A folder path that starts at a drive ("C:\...") or a share ("\\server\share..."), with no
// character that a file name cannot hold.
bool IsAbsoluteFolder(std::u16string_view path);

}  // namespace kestrel
