# sysutil: text, path and command-line helpers, the log, the folder guard; the Win32 helpers.
list(APPEND KESTREL_CORE_SOURCES
  sysutil/cmfunit.cpp sysutil/codepage_cp1252.cpp sysutil/folderguard.cpp sysutil/log.cpp
  sysutil/outcome.cpp sysutil/pathrules.cpp sysutil/pictureformat.cpp sysutil/texts.cpp sysutil/treeremoval.cpp
  sysutil/winname.cpp)
list(APPEND KESTREL_CORE_WIN32_SOURCES sysutil/codepage_win32.cpp sysutil/worker_win32.cpp)
list(APPEND KESTREL_CORE_POSIX_SOURCES sysutil/worker_posix.cpp)
list(APPEND KESTREL_WIN32_SOURCES
  sysutil/cmfunit_win32.cpp sysutil/elevate_win32.cpp sysutil/folderguard_win32.cpp
  sysutil/logfile_win32.cpp
  sysutil/productsystem_win32.cpp sysutil/services_win32.cpp sysutil/shell_win32.cpp
  sysutil/treeremoval_win32.cpp)
