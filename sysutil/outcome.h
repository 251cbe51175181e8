// How a run of the program ended, and the process exit code that tells it to whoever started it.
#pragma once

namespace kestrel {

// What the user sees: the whole wizard, only its progress page (/PASSIVE), or nothing (/S).
enum class UiLevel { kFull, kPassive, kSilent };

enum class Outcome {
  kDone,            // installed or uninstalled
  kCancelled,       // the user confirmed a cancel
  kFailed,          // anything the wizard reports in an Error box
  kAlreadyRunning,  // another setup of a product holds the start-up lock
  kBadCommandLine,  // an unattended run with an unusable switch; any run whose /LOG= is refused
};

int ExitCodeOf(Outcome outcome);

// Setup started again with administrator rights (the runas verb), as it ended.
struct ElevatedRun {
  bool started = false;
  unsigned long error = 0;  // why it did not start; kElevationRefused: the user said no
  int code = 0;             // its exit code, once it has ended
};
// The system's code for a question the user answered no (ERROR_CANCELLED).
inline constexpr unsigned long kElevationRefused = 1223;

// A run that could not start with administrator rights: cancelled when the user refused them
// (1602, as for a cancel), failed for any other reason.
inline Outcome NotElevated(unsigned long error) {
  return error == kElevationRefused ? Outcome::kCancelled : Outcome::kFailed;
}

// Set by the runs as they end; the session returns its code.
class ExitStatus {
 public:
  void Set(Outcome outcome) { outcome_ = outcome; }
  Outcome outcome() const { return outcome_; }
  int code() const { return passed_ >= 0 ? passed_ : ExitCodeOf(outcome_); }
  // The exit code of the elevated setup that did the work, passed on as it is.
  void PassOn(int code) { passed_ = code < 0 ? 1603 : code; }

 private:
  Outcome outcome_ = Outcome::kDone;
  int passed_ = -1;
};

}  // namespace kestrel
