#include "sysutil/log.h"

#include "sysutil/codepage.h"

namespace kestrel {

void Log::Append(std::string& line, std::u16string_view text) {
  line += Utf16ToUtf8(text);
}

void Log::Append(std::string& line, Ansi text) {
  line += Utf16ToUtf8(FromCodePage(text.text));
}

std::string StampedLine(int year, int month, int day, int hour, int minute, int second,
                        int millisecond, std::string_view text) {
  // digits by hand: a printf here would link the C99 formatter (some 40 KB) into setup.exe
  std::string out;
  auto digits = [&out](int v, int width, char after) {
    char buf[12];
    int n = 0;
    unsigned u = v < 0 ? 0u : static_cast<unsigned>(v);
    do {
      buf[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u && n < 11);
    for (int i = n; i < width; ++i) out.push_back('0');
    while (n) out.push_back(buf[--n]);
    out.push_back(after);
  };
  digits(year, 4, '-');
  digits(month, 2, '-');
  digits(day, 2, ' ');
  digits(hour, 2, ':');
  digits(minute, 2, ':');
  digits(second, 2, '.');
  digits(millisecond, 3, ' ');
  out += text;
  return out;
}

namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

char16_t Upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool IsLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool SameLetters(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// The names a password switch goes by, here or in other programs.
constexpr std::u16string_view kPasswordNames[] = {u"PASSWORD", u"PASSWD", u"PASSPHRASE",
                                                  u"PASS",     u"PWD",    u"PW"};

}  // namespace

PasswordSwitch FindPasswordSwitch(std::u16string_view text, std::size_t at) {
  PasswordSwitch p;
  std::size_t i = at;
  while (i < text.size() && i - at < 2 && (text[i] == u'/' || text[i] == u'-')) ++i;
  if (i == at) return p;
  std::size_t j = i;
  while (j < text.size() && IsLetter(text[j])) ++j;
  bool named = false;
  for (std::u16string_view n : kPasswordNames)
    named = named || SameLetters(text.substr(i, j - i), n);
  if (!named) return p;
  p.name = i;
  p.name_end = j;
  std::size_t k = j;
  while (k < text.size() && IsBlank(text[k])) ++k;
  if (k < text.size() && (text[k] == u'=' || text[k] == u':')) {
    p.value = k + 1;
  } else if (j < text.size() && !IsBlank(text[j])) {
    return p;  // more name than a password's ("/PASS1", "/PASS.txt")
  }
  p.found = true;
  return p;
}

bool HoldsPasswordSwitch(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool starts = i == 0 || IsBlank(text[i - 1]) || text[i - 1] == u'"';
    if (starts && FindPasswordSwitch(text, i).found) return true;
  }
  return false;
}

std::u16string MaskPasswords(std::u16string_view text,
                             bool (*is_switch)(std::u16string_view token)) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const bool starts = i == 0 || IsBlank(text[i - 1]) || text[i - 1] == u'"';
    const PasswordSwitch p = starts ? FindPasswordSwitch(text, i) : PasswordSwitch{};
    if (!p.found) {
      out.push_back(text[i++]);
      continue;
    }
    std::size_t value = p.value;
    if (value == std::u16string_view::npos) {
      // bare: what follows, if anything but a switch of its own, may be its value
      value = p.name_end;
      while (value < text.size() && IsBlank(text[value])) ++value;
      std::size_t token = value;
      while (token < text.size() && !IsBlank(text[token])) ++token;
      if (value == text.size() || (is_switch && is_switch(text.substr(value, token - value)))) {
        out.append(text.substr(i, value - i));
        i = value;
        continue;
      }
    }
    // where the value ends cannot be told from the text alone: all of it goes
    out.append(text.substr(i, value - i));
    out.append(u"***");
    break;
  }
  return out;
}

bool IsSetupLog(std::string_view head) {
  constexpr std::string_view kStamp = "0000-00-00 00:00:00.000 ";  // 0: a digit
  if (head.size() < kStamp.size() + kLogFirstWords.size()) return false;
  for (std::size_t i = 0; i < kStamp.size(); ++i) {
    const bool digit = head[i] >= '0' && head[i] <= '9';
    if (kStamp[i] == '0' ? !digit : head[i] != kStamp[i]) return false;
  }
  return head.substr(kStamp.size(), kLogFirstWords.size()) == kLogFirstWords;
}

}  // namespace kestrel
