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
