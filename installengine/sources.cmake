# installengine: the install run, the file step, what an installation registers and links.
list(APPEND KESTREL_CORE_SOURCES
  installengine/extract.cpp installengine/installrecord.cpp installengine/installrun.cpp
  installengine/registration.cpp installengine/shortcuts.cpp installengine/solid.cpp
  installengine/transaction.cpp)
list(APPEND KESTREL_WIN32_SOURCES
  installengine/installsystem_win32.cpp installengine/registration_win32.cpp
  installengine/restartmanager_win32.cpp)
