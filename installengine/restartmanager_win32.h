// The system's Restart Manager: which applications hold a set of files, closing them and starting
// them again. Looked up at run time, so a system without it simply has no applications to close.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

class RestartManager {
 public:
  RestartManager() = default;
  RestartManager(const RestartManager&) = delete;
  RestartManager& operator=(const RestartManager&) = delete;
  ~RestartManager() { End(); }

  // Starts a session over `files` and names the applications that hold any of them (this
  // program excepted); 0 or the error code. Ends the session of an earlier call.
  unsigned long Find(const std::vector<std::u16string>& files, std::vector<std::u16string>& apps);
  // Asks the applications Find found to close; never forces one, so no unsaved work is lost.
  unsigned long Shutdown();
  // Starts again those Shutdown closed.
  unsigned long Restart();
  void End();

 private:
  unsigned long session_ = 0;
  bool open_ = false;
};

}  // namespace kestrel
