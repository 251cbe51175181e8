// The uninstall run, step by step, over an interface to the system and one to whoever watches
// it (the wizard, or an unattended run without windows). It removes, in a fixed order, what the
// installer made; the guards that keep it from removing what was never ours are here too, so
// they are tested with the rest. No OS calls happen here.
#pragma once

#include <string>
#include <vector>

#include "installengine/installrecord.h"
#include "installengine/registration.h"
#include "package/startload.h"
#include "sysutil/folderguard.h"
#include "sysutil/log.h"
#include "sysutil/productsystem.h"
#include "sysutil/treeremoval.h"

namespace kestrel {

// What the uninstall needs of the system; the Win32 one is WindowsUninstallSystem.
class UninstallSystem : public ProductSystem {
 public:
  virtual std::string ReadClassesString(const std::string& key, const std::string& value) = 0;

  virtual void Pause(int milliseconds) = 0;

  virtual std::u16string ProgramsFolder() = 0;
  virtual std::u16string AppDataFolder() = 0;
  virtual std::u16string StartMenuFolder() = 0;
  // The folders never to delete (the system's, the profile's, the shell's special folders).
  virtual std::vector<std::u16string> ProtectedFolders() = 0;

  // What the file system says about paths, and every folder the system reports as its own: what
  // the folder guard decides on.
  virtual PathFacts& Facts() = 0;
  virtual SystemFolders FoldersToKeep() = 0;

  virtual bool FolderExists(const std::u16string& path) = 0;
  // Deletes the folder with everything in it; true when it is gone afterwards.
  virtual bool DeleteFolderTree(const std::u16string& path) = 0;
  // The system's error code where the last DeleteFolderTree stopped, 0 when it gave none.
  virtual int LastDeleteResult() { return 0; }
  // Removes the folder only when it is empty.
  virtual bool RemoveEmptyFolder(const std::u16string& path) = 0;
  virtual bool RemoveFile(const std::u16string& path) = 0;
  // The file system as the tree removal walks it.
  virtual TreeSystem& Tree() = 0;
  // Removes the key with every key below it; a missing key is no error.
  virtual bool RemoveKeyTree(RegRoot root, const std::string& path) = 0;
};

// The run's question and reports, called on the thread that runs it.
class UninstallObserver {
 public:
  virtual ~UninstallObserver() = default;

  // Step 1: the run begins; `displayname` as the App Paths key records it.
  virtual void UninstallStarted(const std::string& displayname) = 0;
  // The settings question: true to delete the settings folder.
  virtual bool DeleteSettings() = 0;
  // A folder the guard refused to delete: it and its files stay; `message` says which and why.
  virtual void FolderKept(const std::u16string& message) = 0;
  // The installation folder could not be deleted: nothing else was removed; `message` says why.
  virtual void UninstallStopped(const std::u16string& folder, const std::u16string& message) = 0;
  // Files that the installation did not make stay, with their folder; `message` counts them.
  virtual void FilesKept(const std::u16string& message) { static_cast<void>(message); }
  // Files in use go when the system starts again: the uninstall completes with a restart.
  virtual void RestartCompletes() {}
  virtual void UninstallDone() = 0;
};

// What the start-up loading read back from the registry.
struct UninstallInfo {
  std::string exename;
  std::string displayname;
  std::u16string basefolder;    // decoded "Path"
  std::u16string programgroup;  // decoded "Startpath"
  std::string appdatafolder;
  // An installation with an identity: what its record says is removed, nothing else. Empty
  // for one made before identities, which is removed as those versions did, behind the guard.
  std::string identity;
  RegRoot root = RegRoot::kLocalMachine;
  std::u16string recordpath;  // the Uninstall key's "InstallRecord"
  InstallRecord record;       // when `hasrecord`: read whole and this product's
  bool hasrecord = false;     // else no file goes
};

// What the start-up loaded into `data` (uninstall mode), with the record read from its file.
UninstallInfo UninstallInfoFrom(const SetupData& data, FileSystem& fs);

// Whether this process hands the uninstall to setup started again with administrator rights:
// an installation for every user (as its record, or else its entry, says) needs them, and the
// uninstaller of a package that also installs for one user asks for none. Never for one user's
// installation, nor from the elevated start itself (`elevated`), which asks no more.
bool NeedsElevation(const UninstallInfo& info, bool administrator, bool elevated);
// What the wizard says when the rights were not given: nothing was removed.
std::u16string NoRightsToUninstallMessage(const std::string& displayname);

// "N files that Setup did not install were kept in FOLDER."; "More than M ..." past `counted`.
std::u16string KeptFilesMessage(std::size_t count, const std::u16string& folder,
                                std::size_t counted);

class UninstallRun {
 public:
  UninstallRun(const UninstallInfo& info, UninstallSystem& sys, UninstallObserver& observer)
      : info_(info), sys_(sys), obs_(observer) {}

  void SetLog(const Log& log) { log_ = log; }

  // The whole uninstall; false when it stopped at the installation folder.
  bool Run();
  // Files in use are deleted when the system next starts (read after Run).
  bool restart() const { return !atrestart_.empty(); }

 private:
  bool RunRecorded();
  // The product's own files, as recorded; false when one that is there can neither be removed
  // nor, being in use, scheduled to go at the next start.
  bool RemoveRecordedFiles(const InstallRecord& record);
  void RemoveRecordedFolders(const InstallRecord& record);
  void ReportKeptFiles(const std::u16string& folder, const std::u16string& uninstaller);
  void RemoveRecordedAssociation(const InstallRecord& record);
  void RemoveProductKeys();
  void RemoveKeyTrees(const std::vector<std::pair<RegRoot, std::string>>& keys);
  void AskAboutSettings(const std::string& appdatafolder);
  std::string Value(const std::string& name);
  void RemoveServices(const FolderDecision& installfolder);
  void StopAndDeleteService(const std::string& name);
  void RemoveAssociation(const FolderDecision& installfolder);
  void RemoveEmptyParents(const std::u16string& deleted, const std::vector<std::u16string>& keep,
                          const FolderGuard& guard);

  const UninstallInfo& info_;
  UninstallSystem& sys_;
  UninstallObserver& obs_;
  Log log_;
  std::vector<std::u16string> atrestart_;  // files in use, deleted at the next start
};

// Guards of the run, as plain tests.
// Per-user keys of the system itself ("software\microsoft" and the like), never removed.
bool SystemUserKey(const std::string& key);
// An extension key's name: a dot and a name, nothing that reaches another part of the tree.
bool IsExtensionName(const std::string& ext);
// A file that cannot be deleted because a program holds it: open without leave to delete it
// (sharing violation), or running or mapped (access denied, which a read-only file never gives:
// the removal clears that first). Other errors (a damaged disk, a device not ready) would fail at
// the restart as well.
bool InUseError(unsigned long error);
// True for a path ending in ".lnk", letter case ignored.
bool EndsWithLinkSuffix(const std::u16string& path);

// How many kept files the log names one by one, and how many are counted at most.
inline constexpr std::size_t kKeptFilesLogged = 200;
inline constexpr std::size_t kKeptFilesCounted = 10000;

// The pause that lets the user see the end of the bar; the services are waited for by the system.
inline constexpr int kUninstallPauseAtEnd = 100;

}  // namespace kestrel
