// The product's own uninstaller lives in the folder it removes, so it runs from a temporary
// copy: the program started by the Uninstall entry (the first process) copies itself to the
// temporary folder, starts the copy with the same command line plus /UNINSTALLCOPY=, waits for
// the exit code the copy sends through a pipe and ends with it, so whoever waits on the first
// process (a deployment tool) gets the real outcome. The copy, once the product is gone and the
// first process has ended, removes the uninstaller it was copied from and the folders that
// held it, when they are empty. A copy without the rights an all-users installation needs
// starts itself again with them (/ELEVATED=ITS-PROCESS): that one takes the pipe and the first
// process's handle over from it and does all of the above, while it waits.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// Runs the command line from a temporary copy; the exit code, or nothing when no copy could be
// made or started (the caller then runs in place).
std::optional<int> RunFromTemporaryCopy(const std::u16string& commandline);

// What the copy removes after the first process: the uninstaller (when it is still the file it
// was: same volume and file index) and then each folder, if empty, in order.
class FirstProcessLink {
 public:
  // `childof`: the /UNINSTALLCOPY= value; `from`: the /ELEVATED= value, the process whose
  // handles they are when not this one's. False when it names no pipe and process.
  bool Attach(const std::u16string& childof, const std::u16string& from);
  bool attached() const { return pipe_ != nullptr; }
  // Notes the uninstaller's file identity now, while nothing else can install.
  void NoteUninstaller(const std::u16string& path, std::vector<std::u16string> folders);
  // Sends the exit code; then, after a removal that succeeded, waits for the first process to
  // end and removes the uninstaller and the folders. The copy itself goes at the next start.
  void Finish(int code, bool removed);

 private:
  void* pipe_ = nullptr;
  void* process_ = nullptr;
  std::u16string uninstaller_;
  std::vector<std::u16string> folders_;
  bool noted_ = false;
  unsigned long volume_ = 0, indexhigh_ = 0, indexlow_ = 0;
};

}  // namespace kestrel
