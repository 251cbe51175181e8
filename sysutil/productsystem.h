// What the install and the uninstall both ask of the system about a product already on the
// machine: whether the wide calls exist, its running window, its services and the registry values
// an installation recorded. Portable; the one Win32 implementation is WindowsProductSystem.
#pragma once

#include <string>

namespace kestrel {

// The registry roots a product's keys lie under.
enum class RegRoot { kLocalMachine, kCurrentUser, kClassesRoot };

class ProductSystem {
 public:
  virtual ~ProductSystem() = default;

  virtual bool UseWideApi() = 0;
  // Asks the first top-level window whose title begins with the pattern up to its final "*"
  // (literally, letter case ignored) to close, waiting a bounded time for it to handle the
  // request and for its program to end. True when such a window was found.
  virtual bool CloseRunningWindow(const std::string& pattern) = 0;
  virtual std::string ReadMachineString(const std::string& key, const std::string& value) = 0;
  // A string value read as UTF-16, so a path reads back exactly; empty when missing.
  virtual std::u16string ReadWideString(RegRoot root, const std::string& key,
                                        const std::string& value) = 0;

  // The command line the service is configured to run, as the service manager reports it;
  // empty when there is no such service or it cannot be queried (LastErrorText says why).
  virtual std::u16string ServiceProgram(const std::string& name) = 0;
  virtual bool ServiceRunning(const std::string& name) = 0;
  // Both wait, up to a time limit, for the service to have stopped or to be gone.
  virtual bool ServiceStop(const std::string& name) = 0;
  virtual bool ServiceDelete(const std::string& name) = 0;

  // Has the system delete a file in use, or a folder if it is empty then, when it next starts.
  virtual bool DeleteAtRestart(const std::u16string& path) = 0;

  // The last failed call on this thread failed because its disk is full.
  virtual bool LastErrorIsDiskFull() { return false; }
  // The system's text for the error of the last failed call on this thread; empty if none.
  virtual std::u16string LastErrorText() { return {}; }
  // The system's text for an error code; empty for 0.
  virtual std::u16string ErrorText(unsigned long code) {
    static_cast<void>(code);
    return {};
  }
};

}  // namespace kestrel
