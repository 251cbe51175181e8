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

// The switches that carry no value or one value after "=". To add one, add a row.
struct FlagSwitch {
  std::u16string_view name;  // without the "/"
  void (*apply)(SetupOptions&);
};
struct ValueSwitch {
  std::u16string_view name;  // without the "/" and the "="
  void (*apply)(SetupOptions&, std::u16string value);
};

constexpr FlagSwitch kFlags[] = {
    {u"S", [](SetupOptions& o) { o.ui = UiLevel::kSilent; }},
    // silent wins over passive, whichever comes first
    {u"PASSIVE",
     [](SetupOptions& o) {
       if (o.ui != UiLevel::kSilent) o.ui = UiLevel::kPassive;
     }},
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
    {u"PASSWORDFILE",
     [](SetupOptions& o, std::u16string v) {
       if (v.empty()) {
         o.problems.push_back(u"/PASSWORDFILE=: no file named");
       } else {
         o.passwordfile = std::move(v);
       }
     }},
};

// "/D=" and the rest of the line: a quoted value loses its quotes, trailing blanks go.
std::u16string RestOfLine(std::u16string_view line, std::size_t offset) {
  std::u16string_view rest = line.substr(offset);
  bool quoted_switch = !rest.empty() && rest.front() == u'"';
  if (quoted_switch) rest.remove_prefix(1);  // "/D=C:\a b"
  rest.remove_prefix(3);
  while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  if (quoted_switch && !rest.empty() && rest.back() == u'"') rest.remove_suffix(1);
  if (!quoted_switch && rest.size() >= 2 && rest.front() == u'"' && rest.back() == u'"') {
    rest = rest.substr(1, rest.size() - 2);  // /D="C:\a b"
  }
  return std::u16string(rest);
}

bool IsDestinationSwitch(std::u16string_view arg) {
  return arg.size() >= 3 && arg[0] == u'/' && Upper(arg[1]) == u'D' && arg[2] == u'=';
}

constexpr std::u16string_view kPasswordSwitch = u"PASSWORD=";

// "/PASSWORD=..." or "-PASSWORD=...", in any letter case: what the log never shows.
bool IsPasswordSwitch(std::u16string_view a) {
  return a.size() >= 1 + kPasswordSwitch.size() && (a[0] == u'/' || a[0] == u'-') &&
         SameLetters(a.substr(1, kPasswordSwitch.size()), kPasswordSwitch);
}

// The rest of the line behind "/D=" as the log may show it: masked as a line of its own.
std::u16string WithoutPasswordInRest(std::u16string_view rest) {
  const std::u16string line = WithoutPassword(u"x " + std::u16string(rest));
  return line.size() > 2 ? line.substr(2) : std::u16string();
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
  for (std::size_t k = first; k < args.size(); ++k) {
    const std::u16string& arg = args[k].text;
    if (IsDestinationSwitch(arg)) {
      std::u16string path = RestOfLine(line, args[k].offset);
      if (o.uninstallmode) {
        o.ignored.push_back(u"/D=" + WithoutPasswordInRest(path));
      } else {
        o.destination = std::move(path);
      }
      break;  // the rest of the line was its value
    }
    bool known = false;
    if (arg.size() > 1 && arg[0] == u'/') {
      const std::u16string_view body = std::u16string_view(arg).substr(1);
      const std::size_t eq = body.find(u'=');
      if (eq == std::u16string_view::npos) {
        for (const FlagSwitch& f : kFlags) {
          if (SameLetters(body, f.name)) {
            f.apply(o);
            known = true;
            break;
          }
        }
      } else {
        for (const ValueSwitch& v : kValues) {
          if (SameLetters(body.substr(0, eq), v.name)) {
            v.apply(o, std::u16string(body.substr(eq + 1)));
            known = true;
            break;
          }
        }
      }
    }
    if (!known) {
      // the ignored arguments are logged: a password given in a form not taken stays hidden
      o.ignored.push_back(IsPasswordSwitch(arg)
                              ? arg.substr(0, 1) + std::u16string(kPasswordSwitch) + u"***"
                              : arg);
    }
  }
  if (o.destination && !IsAbsoluteFolder(*o.destination)) {
    o.problems.push_back(u"/D=" + WithoutPasswordInRest(*o.destination) +
                         u": not a full folder path");
  }
  return o;
}

std::u16string WithoutPassword(std::u16string_view line) {
  const std::vector<CommandArgument> args = SplitCommandLine(line);
  std::u16string out;
  std::size_t copied = 0;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (!IsPasswordSwitch(args[i].text)) continue;
    const std::size_t end = i + 1 < args.size() ? args[i + 1].offset : line.size();
    out.append(line.substr(copied, args[i].offset - copied));
    out.append(u"/PASSWORD=*** ");
    copied = end;
  }
  out.append(line.substr(copied));
  while (!out.empty() && out.back() == u' ') out.pop_back();
  return out;
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
