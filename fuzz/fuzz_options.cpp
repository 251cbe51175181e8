// Builds a command line from the input and reads it as setup does, then looks at every text the
// log would be given: the command line, the ignored arguments, the bad switches, the folder, the
// log and password file names. Every password switch is made with a value that holds a snowman
// (U+2603), a character nothing else here produces, in one of the spellings people use; a
// snowman in any logged text traps. So does a password that /D= took into its folder.
//
// The input is read as a sequence of tokens: a byte picks the kind, the next bytes its text.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "setup/options.h"
#include "sysutil/codepage.h"

namespace {

using namespace kestrel;

constexpr char16_t kSecret = u'\u2603';

// What the ordinary tokens are made of: switch characters, quotes, backslashes and blanks
// included, so they can reopen and close quoted groups around the password switches.
constexpr char16_t kAlphabet[] = u"aZ09 \t\"\\:=/-.*_\u00e9\u4e2d";

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool done() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

std::u16string Word(Input& in, bool blanks) {
  std::u16string w;
  const std::size_t n = in.byte() % 12;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = kAlphabet[in.byte() % (sizeof kAlphabet / sizeof kAlphabet[0] - 1)];
    if (!blanks && (c == u' ' || c == u'\t')) c = u'x';
    w.push_back(c);
  }
  return w;
}

// One argument whose text the system's rules give back exactly: quoted, with the quotes and the
// backslashes in front of them escaped, when it holds a blank or a quote.
std::u16string Quote(const std::u16string& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string::npos) return arg;
  std::u16string q = u"\"";
  std::size_t slashes = 0;
  for (char16_t c : arg) {
    if (c == u'"') {
      q.append(slashes + 1, u'\\');
      slashes = 0;
    } else {
      slashes = c == u'\\' ? slashes + 1 : 0;
    }
    q.push_back(c);
  }
  q.append(slashes, u'\\');
  return q + u"\"";
}

// The spellings of a password switch: with the value attached, or as the next argument.
constexpr std::u16string_view kAttached[] = {u"/PASSWORD=", u"-password=",  u"--PASSWORD=",
                                             u"/PASSWORD:", u"/Password =", u"/pass=",
                                             u"-PW:",       u"/passwd=",    u"/PassPhrase="};
constexpr std::u16string_view kBare[] = {u"/PASSWORD", u"--pass", u"-pwd", u"/Password ="};

// A snowman and a number of its own in this line (nothing else produces either), so that no
// password's text is part of another's.
int g_passwords = 0;
std::u16string SecretValue(Input& in) {
  std::u16string v = Word(in, true);
  const char16_t mark[] = {kSecret, static_cast<char16_t>(u'\u2460' + g_passwords++), 0};
  v.insert(in.byte() % (v.size() + 1), mark);
  return v;
}

std::u16string Token(Input& in) {
  switch (in.byte() % 10) {
    case 0:
      return std::u16string(in.byte() % 2 ? u"/S" : u"-passive");
    case 1:
      return Quote(u"/LOG=" + Word(in, true));
    case 2:
      return u"/D=" + Word(in, true);
    case 3:
      return u"\"/D=" + Word(in, true) + u"\"";
    case 4:
    case 5: {
      const std::u16string_view s = kAttached[in.byte() % std::size(kAttached)];
      return Quote(std::u16string(s) + SecretValue(in));
    }
    case 6: {
      // a value of its own that begins like a switch is taken for one
      const std::u16string_view s = kBare[in.byte() % std::size(kBare)];
      std::u16string v = SecretValue(in);
      if (v[0] == u'/' || v[0] == u'-') v.insert(0, 1, u'x');
      return std::u16string(s) + u" " + Quote(v);
    }
    case 7:
      return Quote(u"/PASSWORDFILE=" + Word(in, true));
    case 8:
      return u"-ui";
    default:
      return Word(in, false);  // anything, unbalanced quotes included
  }
}

// The line and the text at fault, for whoever reads the crash.
[[noreturn]] void Trap(const std::u16string& line, const std::u16string& text) {
  std::fprintf(stderr, "line: %s\nlogged: %s\n", Utf16ToUtf8(line).c_str(),
               Utf16ToUtf8(text).c_str());
  __builtin_trap();
}

std::u16string g_line;
void NoSecret(const std::u16string& text) {
  if (text.find(kSecret) != std::u16string::npos) Trap(g_line, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  g_passwords = 0;
  std::u16string line = in.byte() % 2 ? u"\"C:\\Program Files\\setup.exe\"" : u"setup.exe";
  for (int n = 0; n < 24 && !in.done(); ++n) line += u" " + Token(in);

  g_line = line;
  const SetupOptions o = ParseCommandLine(line);
  // every text the session logs that comes from the command line
  NoSecret(WithoutPassword(line));
  for (const auto& t : o.ignored) NoSecret(t);
  for (const auto& t : o.problems) NoSecret(t);
  NoSecret(MaskPasswords(o.logfile));
  NoSecret(MaskPasswords(o.passwordfile));
  NoSecret(MaskPasswords(o.exename));
  if (o.destination) {
    NoSecret(MaskPasswords(*o.destination));
    // a /D= folder never takes in a password switch that stands as an argument of its own
    const std::vector<CommandArgument> args = SplitCommandLine(line);
    for (const CommandArgument& a : args) {
      const PasswordSwitch p = FindPasswordSwitch(a.text, 0);
      if (p.found && a.text.find(kSecret) != std::u16string::npos &&
          o.destination->find(a.text) != std::u16string::npos) {
        Trap(line, *o.destination);
      }
    }
  }
  return 0;
}
