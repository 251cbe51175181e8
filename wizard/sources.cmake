# wizard: the wizard front-end, its worker and the folder dialog.
list(APPEND KESTREL_CORE_SOURCES wizard/layout.cpp)
list(APPEND KESTREL_WIN32_SOURCES
  wizard/choosedir_win32.cpp wizard/installworker_win32.cpp wizard/mainunit_win32.cpp)
