#include "sysutil/outcome.h"

namespace kestrel {

// The codes deployment tools already know from other installers.
int ExitCodeOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone:
      return 0;
    case Outcome::kCancelled:
      return 1602;
    case Outcome::kFailed:
      return 1603;
    case Outcome::kAlreadyRunning:
      return 1618;
    case Outcome::kBadCommandLine:
      return 1639;
    case Outcome::kDowngrade:
      return 1638;
    case Outcome::kRestartNeeded:
      return 3010;
  }
  return 1603;
}

}  // namespace kestrel
