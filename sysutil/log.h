// The setup log: one line per event, written by the engine's steps, the uninstall run and the
// session. Off unless a sink is given, and then every call is one pointer test and returns, so
// code that logs costs nothing in a run without /LOG=.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrel {

// Receives finished lines (UTF-8, no line end); stamps and stores them. May be called from the
// worker and the main thread.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void WriteLine(std::string_view utf8) = 0;
};

// An 8-bit text in the system's code page (package texts, registry values), converted when logged.
struct Ansi {
  std::string_view text;
};

class Log {
 public:
  Log() = default;
  explicit Log(LogSink* sink) : sink_(sink) {}

  bool on() const { return sink_ != nullptr; }

  // Joins the parts into one line: string views and literals as UTF-8, UTF-16 texts and Ansi
  // texts converted, integers in decimal.
  template <class... Parts>
  void operator()(const Parts&... parts) const {
    if (!sink_) return;
    std::string line;
    (Append(line, parts), ...);
    sink_->WriteLine(line);
  }

 private:
  static void Append(std::string& line, std::string_view utf8) { line += utf8; }
  static void Append(std::string& line, const char* utf8) { line += utf8; }
  static void Append(std::string& line, const std::string& utf8) { line += utf8; }
  static void Append(std::string& line, std::u16string_view text);
  static void Append(std::string& line, const std::u16string& text) {
    Append(line, std::u16string_view(text));
  }
  static void Append(std::string& line, const char16_t* text) {
    Append(line, std::u16string_view(text));
  }
  static void Append(std::string& line, Ansi text);
  template <class T, class = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, char> &&
                                              !std::is_same_v<T, bool>>>
  static void Append(std::string& line, T n) {
    line += std::to_string(n);
  }
  static void Append(std::string& line, bool b) { line += b ? "yes" : "no"; }

  LogSink* sink_ = nullptr;
};

// "2026-12-08 09:30:05.123 " followed by the text: the stamp every line of the log file starts
// with.
std::string StampedLine(int year, int month, int day, int hour, int minute, int second,
                        int millisecond, std::string_view text);

// A password switch in any spelling, at `at` of `text`: one or two of "/" and "-", a password
// name (PASSWORD, PASSWD, PASSPHRASE, PASS, PWD, PW) in any letter case, blanks, then "=" or ":"
// and the value, or nothing (the value may be the next argument). PASSWORDFILE names a file,
// which is no secret, and PASSIVE is no password.
struct PasswordSwitch {
  bool found = false;
  std::size_t name = 0, name_end = 0;             // the name's place in the text
  std::size_t value = std::u16string_view::npos;  // behind the separator; npos: none attached
};
PasswordSwitch FindPasswordSwitch(std::u16string_view text, std::size_t at);

// True when a password switch begins anywhere in the text where a switch may begin (its start,
// or behind a blank or a quote).
bool HoldsPasswordSwitch(std::u16string_view text);

// Any text for the log: from a password switch on (at the text's start, or behind a blank or a
// quote), its value and everything behind it become "***", since where the value ends cannot be
// told from the text alone; a bare switch keeps what follows it when `is_switch` says that is a
// switch of its own.
std::u16string MaskPasswords(std::u16string_view text,
                             bool (*is_switch)(std::u16string_view token) = nullptr);

// The text every log of ours begins with, behind the first line's stamp.
inline constexpr std::string_view kLogFirstWords = "Kestrel setup ";
// Whether a file's first bytes are those of a log this program wrote (a stamped first line
// beginning with kLogFirstWords): such a file is appended to, any other is never written.
bool IsSetupLog(std::string_view head);

}  // namespace kestrel
