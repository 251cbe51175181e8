# toolkit: the Win32 user-interface toolkit.
list(APPEND KESTREL_WIN32_SOURCES
  toolkit/app_win32.cpp toolkit/commoncontrols_win32.cpp toolkit/controls_win32.cpp toolkit/foldertree_win32.cpp
  toolkit/msgbox_win32.cpp toolkit/picture_win32.cpp toolkit/thread_win32.cpp)
