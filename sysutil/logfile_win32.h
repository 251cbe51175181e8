// The log file of /LOG=: UTF-8 lines, each stamped with the local time and written through at
// once, so a process that is killed still leaves every line before its end.
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
  // Creates or replaces the file, or with `append` adds to its end; null when it cannot be
  // opened (the run goes on without).
  static std::unique_ptr<FileLogSink> Create(const std::u16string& path, bool append = false);
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
