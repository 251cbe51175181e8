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
  // Creates or replaces the file; null when it cannot be created (the run goes on without).
  static std::unique_ptr<FileLogSink> Create(const std::u16string& path);
  ~FileLogSink() override;

  void WriteLine(std::string_view utf8) override;

 private:
  explicit FileLogSink(HANDLE file);
  win::File file_;
  CRITICAL_SECTION lock_;  // the worker and the main thread both write
};

}  // namespace kestrel
