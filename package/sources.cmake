# package: the records, the guarded extension, the directory, the Package file handle.
list(APPEND KESTREL_CORE_SOURCES
  package/certtable.cpp package/crc32_fold.cpp package/directory.cpp package/extension.cpp
  package/identity.cpp package/integrity.cpp package/locale.cpp package/pkgfile.cpp package/protection.cpp
  package/publisher.cpp package/records.cpp package/scope.cpp package/solid.cpp
  package/startload.cpp)
list(APPEND KESTREL_CORE_POSIX_SOURCES package/pkgfile_posix.cpp)
list(APPEND KESTREL_WIN32_SOURCES package/pkgfile_win32.cpp)
