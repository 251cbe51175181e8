# uninstall: the uninstall run, its plan and its system side.
list(APPEND KESTREL_CORE_SOURCES uninstall/uninstallplan.cpp uninstall/uninstallrun.cpp)
list(APPEND KESTREL_WIN32_SOURCES uninstall/uninstallsystem_win32.cpp)
