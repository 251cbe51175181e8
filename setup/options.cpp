#include "setup/options.h"

#include "sysutil/cmfconst.h"

namespace kestrel {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool SameLetters(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

constexpr std::u16string_view kBothScopes = u"/ALLUSERS and /CURRENTUSER: give one of them";

// The switches that carry no value or one value after "=", each with "/" or "-" in front. To add
// one, add a row.
struct FlagSwitch {
  std::u16string_view name;  // without the "/"
  void (*apply)(SetupOptions&);
};
struct ValueSwitch {
  std::u16string_view name;  // without the "/" and the "="
  void (*apply)(SetupOptions&, std::u16string value);
};

void Silent(SetupOptions& o) {
  o.ui = UiLevel::kSilent;
}

constexpr FlagSwitch kFlags[] = {
    {u"S", Silent},
    // the names other installers use for the same run
    {u"SILENT", Silent},
    {u"VERYSILENT", Silent},
    // silent wins over passive, whichever comes first
    {u"PASSIVE",
     [](SetupOptions& o) {
       if (o.ui != UiLevel::kSilent) o.ui = UiLevel::kPassive;
     }},
    {u"ALLOWDOWNGRADE", [](SetupOptions& o) { o.allowdowngrade = true; }},
    {u"CLOSEAPPLICATIONS", [](SetupOptions& o) { o.closeapplications = true; }},
    {u"NORESTARTAPPLICATIONS", [](SetupOptions& o) { o.norestartapplications = true; }},
    {u"ALLUSERS",
     [](SetupOptions& o) {
       if (o.scope == InstallScope::kUser) o.problems.emplace_back(kBothScopes);
       o.scope = InstallScope::kMachine;
     }},
    {u"CURRENTUSER",
     [](SetupOptions& o) {
       if (o.scope == InstallScope::kMachine) o.problems.emplace_back(kBothScopes);
       o.scope = InstallScope::kUser;
     }},
    {u"ELEVATED", [](SetupOptions& o) { o.elevated = true; }},
};

constexpr ValueSwitch kValues[] = {
    {u"LOG",
     [](SetupOptions& o, std::u16string v) {
       if (v.empty()) {
         o.problems.push_back(u"/LOG=: no file named");
       } else {
         o.logfile = std::move(v);
       }
     }},
    {u"PASSWORD", [](SetupOptions& o, std::u16string v) { o.password = std::move(v); }},
    {u"LANG", [](SetupOptions& o, std::u16string v) { o.language = std::move(v); }},
    {u"PRODUCT",
     [](SetupOptions& o, std::u16string v) {
       if (v.empty()) {
         o.problems.push_back(u"/PRODUCT=: no product named");
       } else {
         o.product = std::move(v);
       }
     }},
    {u"UNINSTALLCOPY", [](SetupOptions& o, std::u16string v) { o.childof = std::move(v); }},
    {u"ELEVATED",
     [](SetupOptions& o, std::u16string v) {
       o.elevated = true;
       o.elevatedby = std::move(v);
     }},
    {u"PASSWORDFILE",
     [](SetupOptions& o, std::u16string v) {
       if (v.empty()) {
         o.problems.push_back(u"/PASSWORDFILE=: no file named");
       } else {
         o.passwordfile = std::move(v);
       }
     }},
};

bool IsSwitchPrefix(char16_t c) {
  return c == u'/' || c == u'-';
}

// A switch of ours, spelt as it is taken: "/" or "-", a name of the tables, "=" and a value for
// the value switches.
bool IsKnownSwitch(std::u16string_view arg) {
  if (arg.size() < 2 || !IsSwitchPrefix(arg[0])) return false;
  const std::u16string_view body = arg.substr(1);
  const std::size_t eq = body.find(u'=');
  if (eq == std::u16string_view::npos) {
    for (const FlagSwitch& f : kFlags) {
      if (SameLetters(body, f.name)) return true;
    }
    return false;
  }
  if (SameLetters(body.substr(0, eq), u"D")) return true;
  for (const ValueSwitch& v : kValues) {
    if (SameLetters(body.substr(0, eq), v.name)) return true;
  }
  return false;
}

// "/D=" and the rest of the line: a quoted value loses its quotes, blanks at its end go (Windows
// would drop them from the folder's name).
std::u16string RestOfLine(std::u16string_view rest) {
  bool quoted_switch = !rest.empty() && rest.front() == u'"';
  if (quoted_switch) rest.remove_prefix(1);  // "/D=C:\a b"
  rest.remove_prefix(3);
  auto trim = [&rest] {
    while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  };
  trim();
  if (quoted_switch && !rest.empty() && rest.back() == u'"') rest.remove_suffix(1);
  if (!quoted_switch && rest.size() >= 2 && rest.front() == u'"' && rest.back() == u'"') {
    rest = rest.substr(1, rest.size() - 2);  // /D="C:\a b"
  }
  trim();
  return std::u16string(rest);
}

bool IsDestinationSwitch(std::u16string_view arg) {
  return arg.size() >= 3 && IsSwitchPrefix(arg[0]) && Upper(arg[1]) == u'D' && arg[2] == u'=';
}

// How many arguments behind a password switch at `k` may be its value: none when one is
// attached; else the next one (and one more behind a lone "=" or ":"), unless it is a switch of
// ours.
std::size_t ValueArguments(const std::vector<CommandArgument>& args, std::size_t k,
                           const PasswordSwitch& p) {
  if (p.value != std::u16string_view::npos) return 0;
  std::size_t n = 0;
  std::size_t next = k + 1;
  if (next < args.size() && (args[next].text == u"=" || args[next].text == u":")) {
    ++n;
    ++next;
  }
  if (next < args.size() && !IsKnownSwitch(args[next].text)) ++n;
  return n;
}

// The argument as the log may show it: a password switch's value as "***", its name in
// capitals, anything else unchanged.
std::u16string MaskedArgument(std::u16string_view arg) {
  const PasswordSwitch p = FindPasswordSwitch(arg, 0);
  if (!p.found) return std::u16string(arg);
  std::u16string out(arg.substr(0, p.name));
  for (std::size_t i = p.name; i < p.name_end; ++i) out.push_back(Upper(arg[i]));
  if (p.value != std::u16string_view::npos) {
    out.append(arg.substr(p.name_end, p.value - p.name_end));
    out.append(u"***");
  } else if (arg.find_first_not_of(u" \t", p.name_end) != std::u16string_view::npos) {
    out.append(u" ***");  // "/PASS word" quoted as one argument
  }
  return out;
}

// Applies the argument when it is one of the table's switches; false otherwise.
bool TakeSwitch(SetupOptions& o, std::u16string_view arg) {
  if (arg.size() < 2 || !IsSwitchPrefix(arg[0])) return false;
  const std::u16string_view body = arg.substr(1);
  const std::size_t eq = body.find(u'=');
  if (eq == std::u16string_view::npos) {
    for (const FlagSwitch& f : kFlags) {
      if (SameLetters(body, f.name)) {
        f.apply(o);
        return true;
      }
    }
    return false;
  }
  for (const ValueSwitch& v : kValues) {
    if (SameLetters(body.substr(0, eq), v.name)) {
      v.apply(o, std::u16string(body.substr(eq + 1)));
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<CommandArgument> SplitCommandLine(std::u16string_view line) {
  std::vector<CommandArgument> out;
  std::size_t i = 0;
  // argument 0, the program: quotes only group, backslashes are plain
  {
    CommandArgument a;
    a.offset = 0;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      const char16_t c = line[i];
      if (c == u'"') {
        quoted = !quoted;
      } else if (!quoted && IsBlank(c)) {
        break;
      } else {
        a.text.push_back(c);
      }
    }
    out.push_back(std::move(a));
  }
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    CommandArgument a;
    a.offset = i;
    bool quoted = false;
    while (i < line.size()) {
      const char16_t c = line[i];
      if (c == u'\\') {
        std::size_t n = 0;
        while (i < line.size() && line[i] == u'\\') {
          ++n;
          ++i;
        }
        if (i < line.size() && line[i] == u'"') {
          a.text.append(n / 2, u'\\');
          if (n % 2 == 1) {
            a.text.push_back(u'"');
            ++i;
          }
        } else {
          a.text.append(n, u'\\');
        }
        continue;
      }
      if (c == u'"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          a.text.push_back(u'"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      a.text.push_back(c);
      ++i;
    }
    out.push_back(std::move(a));
  }
  return out;
}

SetupOptions ParseCommandLine(std::u16string_view line) {
  SetupOptions o;
  const std::vector<CommandArgument> args = SplitCommandLine(line);
  std::size_t first = 1;
  if (args.size() > 1 && args[1].text == kUninstallSwitch) {  // exactly, letter case included
    o.uninstallmode = true;
    if (args.size() > 2) o.exename = args[2].text;
    first = 3;
  }
  auto end_of = [&](std::size_t k) {
    return k + 1 < args.size() ? args[k + 1].offset : line.size();
  };
  std::vector<bool> secret(args.size(), false);
  // Set once an argument held a password switch that a quote joined to other text: where its
  // value ends cannot be told, so every argument behind it is logged as "***".
  bool joined = false;
  for (std::size_t k = 1; k < first && k < args.size(); ++k) {
    joined = joined || HoldsPasswordSwitch(args[k].text);  // the uninstaller's program name
  }
  // Applies a switch; the others are logged as ignored, a password given in a form not taken
  // masked, and the argument behind a bare password switch as "***".
  auto take = [&](std::size_t k) {
    const std::u16string& arg = args[k].text;
    const bool joins = !secret[k] && HoldsPasswordSwitch(arg);
    if (!TakeSwitch(o, arg)) {
      const bool value = secret[k] && !FindPasswordSwitch(arg, 0).found;
      o.ignored.push_back(value || joined                    ? u"***"
                          : FindPasswordSwitch(arg, 0).found ? MaskedArgument(arg)
                                                             : MaskPasswords(arg, IsKnownSwitch));
    }
    joined = joined || joins;
  };
  // The password switches first, wherever they stand (the uninstaller's program name too), and
  // every argument one of them may be the value of: what is left decides, so /D= never takes a
  // password into its folder.
  for (std::size_t k = 1; k < args.size(); ++k) {
    const PasswordSwitch p = FindPasswordSwitch(args[k].text, 0);
    if (!p.found) continue;
    secret[k] = true;
    // "/PASSWORD value": the value is logged as "***"
    for (std::size_t n = ValueArguments(args, k, p); n > 0; --n) secret[++k] = true;
  }
  for (std::size_t k = first; k < args.size(); ++k) {
    const std::u16string& arg = args[k].text;
    if (!secret[k] && IsDestinationSwitch(arg)) {
      // the rest of the line is its value, the password switches behind it taken out
      std::u16string rest;
      std::size_t from = args[k].offset;
      for (std::size_t j = k + 1; j < args.size(); ++j) {
        if (!secret[j]) continue;
        rest.append(line.substr(from, args[j].offset - from));
        from = end_of(j);
      }
      rest.append(line.substr(from));
      std::u16string path = RestOfLine(rest);
      if (o.uninstallmode) {
        o.ignored.push_back(u"/D=" + MaskPasswords(path, IsKnownSwitch));
      } else {
        o.destination = std::move(path);
      }
      // only the password switches behind it still count
      for (std::size_t j = k + 1; j < args.size(); ++j) {
        if (secret[j]) take(j);
      }
      break;
    }
    take(k);
  }
  if (o.password && !o.passwordfile.empty()) {
    o.problems.push_back(u"/PASSWORD= and /PASSWORDFILE=: give one of them, not both");
  }
  if (o.destination && !IsAbsoluteFolder(*o.destination)) {
    o.problems.push_back(u"/D=" + MaskPasswords(*o.destination, IsKnownSwitch) +
                         u": not a full folder path");
  }
  return o;
}

ScopeDecision DecideScope(InstallScope package, const SetupOptions& o) {
  switch (package) {
    case InstallScope::kMachine:
      if (o.scope == InstallScope::kUser)
        return {ScopeDecision::kRefused,
                u"/CURRENTUSER: this package installs for every user only"};
      return {ScopeDecision::kMachine, {}};
    case InstallScope::kUser:
      if (o.scope == InstallScope::kMachine)
        return {ScopeDecision::kRefused, u"/ALLUSERS: this package installs for one user only"};
      return {ScopeDecision::kUser, {}};
    case InstallScope::kEither:
      break;
  }
  if (o.scope) {
    return {*o.scope == InstallScope::kUser ? ScopeDecision::kUser : ScopeDecision::kMachine, {}};
  }
  // the elevated second start was asked for every user
  if (o.unattended() || o.elevated) return {ScopeDecision::kMachine, {}};
  return {ScopeDecision::kAsk, {}};
}

std::u16string ArgumentsWith(std::u16string_view commandline, std::u16string_view switches) {
  const std::vector<CommandArgument> args = SplitCommandLine(commandline);
  const std::size_t before = args.size() > 1 && args[1].text == kUninstallSwitch ? 3 : 1;
  auto offset = [&](std::size_t k) {
    return k < args.size() ? args[k].offset : commandline.size();
  };
  const std::size_t from = offset(1), at = offset(before);
  // blanks around the switches: one too many is none too few
  std::u16string out(commandline.substr(from, at - from));
  out.append(u" ").append(switches).append(u" ").append(commandline.substr(at));
  return out;
}

std::u16string WithoutPassword(std::u16string_view line) {
  const std::vector<CommandArgument> args = SplitCommandLine(line);
  std::u16string out;
  std::size_t copied = 0;
  auto trimmed = [&out] {
    while (!out.empty() && out.back() == u' ') out.pop_back();
    return out;
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const PasswordSwitch p = FindPasswordSwitch(args[i].text, 0);
    if (!p.found) continue;
    const std::u16string_view before = line.substr(copied, args[i].offset - copied);
    // a password switch a quote joined to other text: from there on, everything goes
    if (HoldsPasswordSwitch(before)) {
      out.append(MaskPasswords(line.substr(copied), IsKnownSwitch));
      return trimmed();
    }
    out.append(before);
    out.append(MaskedArgument(args[i].text));
    const std::size_t values = ValueArguments(args, i, p);
    if (values > 0) out.append(u" ***");  // the bare switch's value
    const std::size_t next = i + 1 + values;
    out.push_back(u' ');
    copied = next < args.size() ? args[next].offset : line.size();
    i = next - 1;
  }
  out.append(MaskPasswords(line.substr(copied), IsKnownSwitch));
  return trimmed();
}

bool IsAbsoluteFolder(std::u16string_view path) {
  std::size_t start = 0;
  if (path.size() >= 3 && Upper(path[0]) >= u'A' && Upper(path[0]) <= u'Z' && path[1] == u':' &&
      (path[2] == u'\\' || path[2] == u'/')) {
    start = 3;
  } else if (path.size() >= 5 && path[0] == u'\\' && path[1] == u'\\' && path[2] != u'\\' &&
             path[2] != u'?' && path[2] != u'.') {
    // \\server\share: a server name, a separator, a share name
    const std::size_t sep = path.find(u'\\', 2);
    if (sep == std::u16string_view::npos || sep == 2 || sep + 1 >= path.size() ||
        path[sep + 1] == u'\\') {
      return false;
    }
    start = 2;
  } else {
    return false;
  }
  for (std::size_t i = start; i < path.size(); ++i) {
    const char16_t c = path[i];
    if (c < 32 || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' ||
        c == u'|') {
      return false;
    }
  }
  return true;
}

}  // namespace kestrel
