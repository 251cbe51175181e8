// The command line of setup.exe, read into one options value.
//
// No argument installs; "-ui" (exactly, as the installed uninstall strings say) followed by the
// main program's name uninstalls; any other first argument installs. Switches may follow
// anywhere after argument 0 (after the program name in uninstall mode), letter case ignored,
// with "/" or "-" in front: S (also SILENT and VERYSILENT), PASSIVE, ALLOWDOWNGRADE,
// CLOSEAPPLICATIONS, NORESTARTAPPLICATIONS, LOG=FILE,
// PASSWORD=TEXT, PASSWORDFILE=FILE and D=PATH, which takes the whole rest of the line, blanks and
// all, once the password switches are taken out of it. Unknown arguments are kept so the log can
// name them; they change nothing.
//
// A password never reaches the log: every argument that looks like a password switch in any
// spelling ("/PASSWORD:x", "--password=x", "/Password = x", "/PASS x") is shown masked, and so
// is the argument a bare one may have meant as its value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/scope.h"
#include "sysutil/log.h"
#include "sysutil/outcome.h"

namespace kestrel {

struct SetupOptions {
  bool uninstallmode = false;
  std::u16string exename;  // uninstall mode: the main program named after "-ui"
  // uninstall mode: /PRODUCT=, the identity of the product to remove (its Uninstall key's name)
  std::optional<std::u16string> product;
  // /UNINSTALLCOPY=PIPE,PROCESS: this program is the temporary copy that the product's own
  // uninstaller started; it reports its exit code through the pipe and, when it removed the
  // product, removes that uninstaller once its process has ended. Handles in decimal.
  std::u16string childof;
  UiLevel ui = UiLevel::kFull;
  bool allowdowngrade = false;  // /ALLOWDOWNGRADE: an older package may replace a newer one
  // /CLOSEAPPLICATIONS: an unattended run closes the applications that hold files it replaces
  bool closeapplications = false;
  bool norestartapplications = false;         // /NORESTARTAPPLICATIONS: they are not started again
  std::optional<std::u16string> destination;  // /D=
  std::u16string logfile;                     // /LOG=; empty: no log
  std::optional<std::u16string> password;     // /PASSWORD=
  std::u16string passwordfile;                // /PASSWORDFILE=
  std::u16string language;                    // /LANG=: a language code such as "de"
  // /ALLUSERS (kMachine) or /CURRENTUSER (kUser): whom a package of scope "either" installs for;
  // in uninstall mode /CURRENTUSER names the installation of the user who runs it
  std::optional<InstallScope> scope;
  // /ELEVATED: started with administrator rights by the setup that asked for them; the user's
  // answers up to the destination page were given there. /ELEVATED=PROCESS also names that
  // setup's process (decimal), whose /UNINSTALLCOPY= handles an elevated uninstall copy takes over.
  bool elevated = false;
  std::u16string elevatedby;
  std::vector<std::u16string> ignored;  // arguments that mean nothing here
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

// Whom an installation is for, decided from the package's scope and the command line.
struct ScopeDecision {
  enum Kind { kMachine, kUser, kAsk, kRefused } kind = kMachine;
  std::u16string why;  // kRefused: the message
};
// "either" with neither switch: the wizard asks; an unattended run installs for every user, the
// choice the wizard recommends. A switch the package cannot honour is refused.
ScopeDecision DecideScope(InstallScope package, const SetupOptions& options);

// The command line's arguments after the program's name, with `switches` where a switch of
// ours goes: first, or in uninstall mode right behind "-ui" and the program's name (in every
// case before a /D=, which takes the rest of the line).
std::u16string ArgumentsWith(std::u16string_view commandline, std::u16string_view switches);

// A folder path that starts at a drive ("C:\...") or a share ("\\server\share..."), with no
// character that a file name cannot hold.
bool IsAbsoluteFolder(std::u16string_view path);

}  // namespace kestrel
