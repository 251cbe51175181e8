#include "sysutil/outcome.h"

namespace kestrel {

int ExitCodeOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone:
      return 0;
    case Outcome::kCancelled:
      return 0;
    case Outcome::kFailed:
      return 1;
    case Outcome::kAlreadyRunning:
      return 1;
    case Outcome::kBadCommandLine:
      return 1;
  }
  return 1;
}

}  // namespace kestrel
