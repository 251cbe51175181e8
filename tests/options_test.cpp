#include "setup/options.h"

#include <gtest/gtest.h>

#include <optional>

#include "sysutil/codepage.h"
#include "sysutil/log.h"

namespace kestrel {
namespace {

std::string U8(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

TEST(CommandLine, SplitsAsTheSystemRuntimeDoes) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  };
  const Case cases[] = {
      {u"setup.exe", {u"setup.exe"}},
      {u"\"C:\\Program Files\\setup.exe\" /S", {u"C:\\Program Files\\setup.exe", u"/S"}},
      {u"C:\\a\\setup.exe  -ui   tool.exe ", {u"C:\\a\\setup.exe", u"-ui", u"tool.exe"}},
      {u"x \"/LOG=C:\\my logs\\a.log\"", {u"x", u"/LOG=C:\\my logs\\a.log"}},
      {u"x /LOG=\"C:\\my logs\\a.log\"", {u"x", u"/LOG=C:\\my logs\\a.log"}},
      {u"x a\\\\\\\"b c\\\\\"d e\"", {u"x", u"a\\\"b", u"c\\d e"}},
      {u"x \"a\"\"b\"", {u"x", u"a\"b"}},
      {u"x a\\b\\", {u"x", u"a\\b\\"}},
  };
  for (const Case& c : cases) {
    const auto got = SplitCommandLine(c.line);
    std::vector<std::u16string> texts;
    for (const auto& a : got) texts.push_back(a.text);
    EXPECT_EQ(texts, c.args) << U8(c.line);
  }
}

TEST(CommandLine, ModesSwitchesAndTheRestOfTheLine) {
  SetupOptions o = ParseCommandLine(u"setup.exe");
  EXPECT_FALSE(o.uninstallmode);
  EXPECT_EQ(o.ui, UiLevel::kFull);
  EXPECT_FALSE(o.destination);

  // "-ui" exactly and first; switches after the program name, any letter case
  o = ParseCommandLine(u"C:\\Windows\\kestrelui.exe -ui tool.exe /s /log=C:\\u.log");
  EXPECT_TRUE(o.uninstallmode);
  EXPECT_EQ(o.exename, u"tool.exe");
  EXPECT_EQ(o.ui, UiLevel::kSilent);
  EXPECT_EQ(o.logfile, u"C:\\u.log");
  EXPECT_TRUE(o.problems.empty());

  // "-UI" installs, and is named as ignored with what follows it
  o = ParseCommandLine(u"setup.exe -UI tool.exe /PASSIVE");
  EXPECT_FALSE(o.uninstallmode);
  EXPECT_EQ(o.ui, UiLevel::kPassive);
  EXPECT_EQ(o.ignored, (std::vector<std::u16string>{u"-UI", u"tool.exe"}));
  // the switch is not a program name either
  o = ParseCommandLine(u"setup.exe /S -ui tool.exe");
  EXPECT_FALSE(o.uninstallmode);
  // silent wins over passive in either order
  EXPECT_EQ(ParseCommandLine(u"s /S /PASSIVE").ui, UiLevel::kSilent);
  EXPECT_EQ(ParseCommandLine(u"s /passive /s").ui, UiLevel::kSilent);
  o = ParseCommandLine(u"s /S -closeapplications /NoRestartApplications");
  EXPECT_TRUE(o.closeapplications && o.norestartapplications && o.ignored.empty());

  // /D= takes the rest of the line, blanks and all, unquoted
  o = ParseCommandLine(u"setup.exe /S /LOG=C:\\l.txt /D=C:\\Program Files\\My Tool /x  ");
  EXPECT_EQ(o.ui, UiLevel::kSilent);
  ASSERT_TRUE(o.destination);
  EXPECT_EQ(*o.destination, u"C:\\Program Files\\My Tool /x");
  EXPECT_TRUE(o.problems.empty());
  o = ParseCommandLine(u"\"C:\\a b\\setup.exe\" /d=\"D:\\My Apps\\Tool\"");
  EXPECT_EQ(*o.destination, u"D:\\My Apps\\Tool");
  o = ParseCommandLine(u"setup.exe \"/D=\\\\srv\\share\\Tool\"");
  EXPECT_EQ(*o.destination, u"\\\\srv\\share\\Tool");
  EXPECT_TRUE(o.problems.empty());
  // in uninstall mode it means nothing
  o = ParseCommandLine(u"u.exe -ui tool.exe /D=C:\\x");
  EXPECT_FALSE(o.destination);
  EXPECT_EQ(o.ignored, (std::vector<std::u16string>{u"/D=C:\\x"}));
}

TEST(CommandLine, UnusableValuesAreProblems) {
  for (const char16_t* line : {u"s /S /D=relative\\folder", u"s /S /D=", u"s /D=C:",
                               u"s /D=C:\\a|b", u"s /D=\\\\server", u"s /LOG="}) {
    EXPECT_EQ(ParseCommandLine(line).problems.size(), 1u) << U8(line);
  }
  EXPECT_TRUE(IsAbsoluteFolder(u"C:\\"));
  EXPECT_TRUE(IsAbsoluteFolder(u"c:/Tools"));
  EXPECT_TRUE(IsAbsoluteFolder(u"\\\\server\\share"));
  EXPECT_FALSE(IsAbsoluteFolder(u"\\Tools"));
  EXPECT_FALSE(IsAbsoluteFolder(u"C:Tools"));
  EXPECT_FALSE(IsAbsoluteFolder(u"\\\\?\\C:\\x"));
  EXPECT_FALSE(IsAbsoluteFolder(u"C:\\a:b"));
}

TEST(SetupOptions, PasswordSwitchesAndTheirRedaction) {
  const SetupOptions a = ParseCommandLine(u"setup.exe /S /password=\"s3cret word\" /LOG=x.log");
  ASSERT_TRUE(a.password);
  EXPECT_EQ(*a.password, u"s3cret word");
  EXPECT_TRUE(a.ignored.empty());
  const SetupOptions b = ParseCommandLine(u"setup.exe /PASSWORDFILE=C:\\pw.txt /S");
  EXPECT_FALSE(b.password);
  EXPECT_EQ(b.passwordfile, u"C:\\pw.txt");
  EXPECT_FALSE(ParseCommandLine(u"setup.exe /PASSWORDFILE= /S").problems.empty());
  // an empty password is a password (a wrong one), not a bad command line
  const SetupOptions c = ParseCommandLine(u"setup.exe /PASSWORD= /S");
  ASSERT_TRUE(c.password);
  EXPECT_TRUE(c.problems.empty());

  struct Case {
    std::u16string_view line, logged;
  } cases[] = {
      {u"setup.exe /S /PASSWORD=abc /LOG=x", u"setup.exe /S /PASSWORD=*** /LOG=x"},
      {u"setup.exe /S /password=\"a b c\" /D=C:\\x y", u"setup.exe /S /PASSWORD=*** /D=C:\\x y"},
      {u"setup.exe /S \"/PASSWORD=a b\"", u"setup.exe /S /PASSWORD=***"},
      {u"setup.exe /PASSWORD=1 /PASSWORD=2", u"setup.exe /PASSWORD=*** /PASSWORD=***"},
      {u"setup.exe /PASSWORDFILE=p.txt", u"setup.exe /PASSWORDFILE=p.txt"},
      {u"\"C:\\a b\\setup.exe\" /PASSWORD=zz", u"\"C:\\a b\\setup.exe\" /PASSWORD=***"},
  };
  for (const Case& k : cases) EXPECT_EQ(WithoutPassword(k.line), k.logged);
}

TEST(SetupOptions, PasswordsNeverReachTheIgnoredOrBadSwitchTexts) {
  // what the log names as ignored or unusable is masked as the logged command line is
  const SetupOptions a = ParseCommandLine(u"setup.exe /S --PASSWORD=s3cret /LOG=x.log");
  EXPECT_FALSE(a.password);
  EXPECT_EQ(a.ignored, (std::vector<std::u16string>{u"--PASSWORD=***"}));
  // the password switch is taken out of /D='s rest of the line first
  const SetupOptions b = ParseCommandLine(u"setup.exe /S /D=Tools /PASSWORD=s3cret");
  ASSERT_EQ(b.problems.size(), 1u);
  EXPECT_EQ(b.problems[0], u"/D=Tools: not a full folder path");
  EXPECT_EQ(b.password, u"s3cret");
  const SetupOptions c = ParseCommandLine(u"u.exe -ui tool.exe /D=C:\\x \"/password=a b\" y");
  EXPECT_EQ(c.ignored, (std::vector<std::u16string>{u"/D=C:\\x y"}));
  for (const auto* o : {&a, &b, &c}) {
    for (const auto& t : o->ignored) EXPECT_EQ(U8(t).find("s3cret"), std::string::npos) << U8(t);
    for (const auto& t : o->problems) EXPECT_EQ(U8(t).find("s3cret"), std::string::npos) << U8(t);
  }
}

// Each of these logged the password or took it into the folder; the secret must appear in no
// text the log is given, whatever the spelling, and /D= ends where the password switch begins.
TEST(SetupOptions, APasswordInAnySpellingIsMaskedAndNeverPartOfTheFolder) {
  struct Case {
    std::u16string_view line;
    std::optional<std::u16string> destination, password;
  } cases[] = {
      {u"setup.exe \"/D=C:\\Program Files\\L10\" /PASSWORD=s3cret", u"C:\\Program Files\\L10",
       u"s3cret"},
      {u"setup.exe /S /D=C:\\PF\\x /PASSWORD=s3cret", u"C:\\PF\\x", u"s3cret"},
      {u"setup.exe /S /D=C:\\PF\\x \"/PASSWORD=s3cret s3cret\" /LOG=l", u"C:\\PF\\x /LOG=l",
       u"s3cret s3cret"},
      {u"setup.exe /S /PASSWORD:s3cret", {}, {}},
      {u"setup.exe /S --password=s3cret", {}, {}},
      {u"setup.exe /S \"/Password = s3cret\"", {}, {}},
      {u"setup.exe /S /Password = s3cret", {}, {}},
      {u"setup.exe /S /PASS s3cret /LOG=x", {}, {}},
      {u"setup.exe /S -pw \"s3cret words\" /D=C:\\x", u"C:\\x", {}},
      {u"setup.exe /S /D=C:\\x --passwd:s3cret", u"C:\\x", {}},
      {u"setup.exe /S -PASSWORD=s3cret", {}, u"s3cret"},
      {u"setup.exe /S /D=C:\\a\"b /PASSWORD=s3cret", u"C:\\a\"b /PASSWORD=s3cret", {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(U8(std::u16string(k.line)));
    const SetupOptions o = ParseCommandLine(k.line);
    EXPECT_EQ(o.destination, k.destination);
    EXPECT_EQ(o.password, k.password);
    std::vector<std::u16string> logged = {WithoutPassword(k.line)};
    logged.insert(logged.end(), o.ignored.begin(), o.ignored.end());
    logged.insert(logged.end(), o.problems.begin(), o.problems.end());
    for (const auto& t : logged) EXPECT_EQ(U8(t).find("s3cret"), std::string::npos) << U8(t);
  }
  EXPECT_EQ(WithoutPassword(u"setup.exe /S /PASSWORD:s3cret /Pass x /PASSIVE /LOG=l"),
            u"setup.exe /S /PASSWORD:*** /PASS *** /PASSIVE /LOG=l");
  // a bare switch before a switch of ours hides nothing of it
  EXPECT_EQ(WithoutPassword(u"setup.exe /PASSWORD /S /LOG=l"), u"setup.exe /PASSWORD /S /LOG=l");
  EXPECT_EQ(ParseCommandLine(u"setup.exe /PASSWORD /S").ui, UiLevel::kSilent);
  // inside any other text, everything from the switch on goes
  EXPECT_EQ(MaskPasswords(u"C:\\a\"b /PASSWORD=s3cret more"), u"C:\\a\"b /PASSWORD=***");
  EXPECT_EQ(MaskPasswords(u"x -pwd s3cret"), u"x -pwd ***");
  EXPECT_EQ(MaskPasswords(u"C:\\Tools\\passive /PASSIVE -passwordfile=p.txt"),
            u"C:\\Tools\\passive /PASSIVE -passwordfile=p.txt");
}

// The spellings other installers and habits use are taken; an unattended run may not be given
// two passwords, and a folder's trailing blanks (which Windows drops) go.
TEST(SetupOptions, CommonSpellingsAndAmbiguousSwitches) {
  for (const char16_t* line : {u"s -S", u"s /s", u"s -s", u"s /SILENT", u"s -silent",
                               u"s /VERYSILENT", u"s /verysilent /passive"}) {
    EXPECT_EQ(ParseCommandLine(line).ui, UiLevel::kSilent) << U8(line);
    EXPECT_TRUE(ParseCommandLine(line).ignored.empty()) << U8(line);
  }
  EXPECT_EQ(ParseCommandLine(u"s -passive").ui, UiLevel::kPassive);
  EXPECT_EQ(ParseCommandLine(u"s -log=C:\\l.txt").logfile, u"C:\\l.txt");
  EXPECT_EQ(ParseCommandLine(u"s -D=C:\\My Tool").destination, u"C:\\My Tool");
  EXPECT_EQ(ParseCommandLine(u"s /silently").ui, UiLevel::kFull);
  const SetupOptions both = ParseCommandLine(u"s /S /PASSWORD=x /PASSWORDFILE=C:\\p.txt");
  ASSERT_EQ(both.problems.size(), 1u);
  EXPECT_EQ(both.problems[0], u"/PASSWORD= and /PASSWORDFILE=: give one of them, not both");
  for (const char16_t* line : {u"s /S \"/D=C:\\ \"", u"s /S /D=\"C:\\ \"", u"s /S /D=C:\\ \t "}) {
    EXPECT_EQ(ParseCommandLine(line).destination, u"C:\\") << U8(line);
  }
  EXPECT_EQ(ParseCommandLine(u"s /D=\"C:\\App  \"").destination, u"C:\\App");
}

class Lines final : public LogSink {
 public:
  std::vector<std::string> lines;
  void WriteLine(std::string_view l) override { lines.emplace_back(l); }
};

TEST(SetupLog, JoinsPartsAndCostsNothingWhenOff) {
  Lines sink;
  const Log log(&sink);
  log("file written: ", std::u16string(u"C:\\\u00e9t\u00e9"), " (", 42, " bytes) ", Ansi{"caf\xe9"},
      " ", true);
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0], "file written: C:\\\xc3\xa9t\xc3\xa9 (42 bytes) caf\xc3\xa9 yes");
  const Log off;
  EXPECT_FALSE(off.on());
  off("nothing");  // no sink: nothing happens
  EXPECT_EQ(StampedLine(2026, 12, 8, 9, 5, 7, 42, "x"), "2026-12-08 09:05:07.042 x");
}

// Whom a run installs for: the package's scope and /ALLUSERS or /CURRENTUSER.
TEST(SetupOptions, ScopeSwitchesAndTheDecision) {
  using K = ScopeDecision::Kind;
  struct Case {
    InstallScope package;
    const char16_t* line;
    K want;
  };
  const Case cases[] = {
      {InstallScope::kMachine, u"s.exe", K::kMachine},
      {InstallScope::kMachine, u"s.exe /S /allusers", K::kMachine},
      {InstallScope::kMachine, u"s.exe /S /CURRENTUSER", K::kRefused},
      {InstallScope::kUser, u"s.exe", K::kUser},
      {InstallScope::kUser, u"s.exe /S /CurrentUser", K::kUser},
      {InstallScope::kUser, u"s.exe /ALLUSERS", K::kRefused},
      {InstallScope::kEither, u"s.exe", K::kAsk},
      {InstallScope::kEither, u"s.exe /S", K::kMachine},
      {InstallScope::kEither, u"s.exe /PASSIVE", K::kMachine},
      {InstallScope::kEither, u"s.exe /S /CURRENTUSER", K::kUser},
      {InstallScope::kEither, u"s.exe /CURRENTUSER", K::kUser},
      {InstallScope::kEither, u"s.exe /ALLUSERS", K::kMachine},
      // the elevated second start of a wizard: every user, without asking again
      {InstallScope::kEither, u"s.exe /ALLUSERS /ELEVATED /D=C:\\x", K::kMachine},
  };
  for (const Case& c : cases) {
    const SetupOptions o = ParseCommandLine(c.line);
    const ScopeDecision d = DecideScope(c.package, o);
    EXPECT_EQ(d.kind, c.want) << Utf16ToUtf8(c.line);
    EXPECT_EQ(d.why.empty(), c.want != K::kRefused) << Utf16ToUtf8(c.line);
    EXPECT_TRUE(o.problems.empty()) << Utf16ToUtf8(c.line);
  }
  const SetupOptions both = ParseCommandLine(u"s.exe /S /ALLUSERS /CURRENTUSER");
  ASSERT_EQ(both.problems.size(), 1u);
  EXPECT_EQ(both.problems[0], u"/ALLUSERS and /CURRENTUSER: give one of them");
  EXPECT_TRUE(ParseCommandLine(u"s.exe /ALLUSERS /ELEVATED /D=C:\\a b").elevated);
  EXPECT_EQ(*ParseCommandLine(u"s.exe /ALLUSERS /ELEVATED /D=C:\\a b").destination, u"C:\\a b");
  // the uninstaller of one user's installation
  const SetupOptions un =
      ParseCommandLine(u"u.exe -ui demo.exe \"/PRODUCT=Demo App\" /CURRENTUSER");
  EXPECT_TRUE(un.uninstallmode);
  EXPECT_EQ(un.scope, InstallScope::kUser);
}

// The elevated start carries the same command line, its switches where the parser takes them:
// after the program's name, or behind "-ui NAME" (a switch in front would make "-ui" no longer
// the first argument), and always before a /D=, which takes the rest of the line.
TEST(SetupOptions, TheElevatedStartCarriesTheSameArguments) {
  struct Case {
    const char16_t* line;
    const char16_t* want;
  };
  const Case cases[] = {
      {u"s.exe", u" /ALLUSERS /ELEVATED=42 "},
      {u"\"C:\\a b\\s.exe\" /S /LOG=C:\\l.txt /D=C:\\x y",
       u" /ALLUSERS /ELEVATED=42 /S /LOG=C:\\l.txt /D=C:\\x y"},
      {u"\"C:\\T\\kestrel-uninstall-1-2.exe\" -ui sample.exe /UNINSTALLCOPY=12,16 "
       u"\"/PRODUCT=Sample Tool\" /S",
       u"-ui sample.exe  /ALLUSERS /ELEVATED=42 /UNINSTALLCOPY=12,16 \"/PRODUCT=Sample Tool\" /S"},
      {u"u.exe -ui \"my tool.exe\"", u"-ui \"my tool.exe\" /ALLUSERS /ELEVATED=42 "},
      {u"u.exe -ui sample.exe /D=C:\\x", u"-ui sample.exe  /ALLUSERS /ELEVATED=42 /D=C:\\x"},
  };
  for (const Case& c : cases) {
    const std::u16string args = ArgumentsWith(c.line, u"/ALLUSERS /ELEVATED=42");
    EXPECT_EQ(Utf16ToUtf8(args), Utf16ToUtf8(c.want));
    // read back as the elevated start reads it: the same run, marked elevated, nothing lost
    const SetupOptions before = ParseCommandLine(c.line);
    const SetupOptions after = ParseCommandLine(u"x.exe " + args);
    EXPECT_TRUE(after.elevated && after.elevatedby == u"42") << Utf16ToUtf8(args);
    EXPECT_EQ(after.uninstallmode, before.uninstallmode);
    EXPECT_EQ(after.exename, before.exename);
    EXPECT_EQ(after.product, before.product);
    EXPECT_EQ(after.childof, before.childof);
    EXPECT_EQ(after.ui, before.ui);
    EXPECT_EQ(after.logfile, before.logfile);
    EXPECT_EQ(after.destination, before.destination);
    EXPECT_EQ(after.ignored, before.ignored);
    EXPECT_TRUE(after.problems.empty());
    EXPECT_EQ(after.scope, InstallScope::kMachine);
  }
  // the copy's own switch goes to the same place
  EXPECT_EQ(Utf16ToUtf8(ArgumentsWith(u"u.exe -ui a.exe /S", u"/UNINSTALLCOPY=1,2")),
            "-ui a.exe  /UNINSTALLCOPY=1,2 /S");
  EXPECT_FALSE(ParseCommandLine(u"s.exe /ELEVATED").elevatedby.size());
}

// /LOG= appends only to a log of ours: another program's file (or win.ini) is never written.
TEST(SetupLog, OnlyOurOwnLogIsTakenForOne) {
  const std::string ours = StampedLine(2026, 12, 8, 9, 5, 7, 42, "Kestrel setup 5.1.0") + "\r\n";
  EXPECT_TRUE(IsSetupLog(ours));
  EXPECT_TRUE(IsSetupLog(ours.substr(0, 38)));  // just the stamp and the first words
  for (const std::string& other : std::vector<std::string>{
           std::string(), ours.substr(0, 37),
           std::string("; for 16-bit app support\r\n[fonts]\r\n"),
           "2026-12-08 09:05:07.042 other program started", "2026-12-08 09:05:07 Kestrel setup 5",
           "x" + ours, "2026-1a-08 09:05:07.042 Kestrel setup 5.1.0"}) {
    EXPECT_FALSE(IsSetupLog(other)) << other;
  }
}

}  // namespace
}  // namespace kestrel
