// The log file of /LOG=: UTF-8 lines, each stamped with the local time and written through at
// once, so a process that is killed still leaves every line before its end.
//
// Setup runs as administrator and the path comes from whoever wrote the command line, so the log
// is opened as a file that may belong to someone else: no link or junction is followed (neither
// the file nor any folder on its way), a file with more than one name (a hard link) is left
// alone, an existing file is appended to only when it is a log of ours and never truncated, and
// at most the log's own folder is made.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "sysutil/handles_win32.h"
#include "sysutil/log.h"

namespace kestrel {

class FileLogSink final : public LogSink {
 public:
  // Creates the file, or opens a log of ours to append to; null when it cannot or may not be
  // written, with `why` saying so in a few words (for the user: no log takes it).
  static std::unique_ptr<FileLogSink> Create(const std::u16string& path, std::u16string& why);
  ~FileLogSink() override;

  void WriteLine(std::string_view utf8) override;
  // Closes the file while another process (the elevated setup) writes to it; lines written
  // meanwhile are lost. Resume adds to its end again.
  void Suspend();
  void Resume();

 private:
  FileLogSink(HANDLE file, std::u16string path);
  win::File file_;
  std::u16string path_;
  CRITICAL_SECTION lock_;  // the worker and the main thread both write
};

}  // namespace kestrel
