# setup: the command line and the session (the entry itself is in setup/CMakeLists.txt).
list(APPEND KESTREL_CORE_SOURCES setup/options.cpp)
list(APPEND KESTREL_WIN32_SOURCES setup/selfcopy_win32.cpp setup/session_win32.cpp)
