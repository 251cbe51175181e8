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
