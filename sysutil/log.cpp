#include "sysutil/log.h"

#include <cstdio>

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
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", year, month, day, hour,
                minute, second, millisecond);
  std::string out(stamp);
  out += text;
  return out;
}

}  // namespace kestrel
