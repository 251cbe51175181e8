# Static libjpeg for the MinGW target being configured, built once from Debian's source package
# by scripts/build-libjpeg and cached under build/third_party/. Defines the target kestrel_jpeg.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "X86")
  set(_kestrel_jpeg_arch i686)
else()
  set(_kestrel_jpeg_arch x86_64)
endif()
set(KESTREL_JPEG_ROOT "${PROJECT_SOURCE_DIR}/build/third_party/libjpeg-${_kestrel_jpeg_arch}"
    CACHE PATH "Static libjpeg for this target (include/ and lib/libjpeg.a)")
# the script returns at once when its cached build is current
execute_process(
  COMMAND "${PROJECT_SOURCE_DIR}/scripts/build-libjpeg" ${_kestrel_jpeg_arch} "${KESTREL_JPEG_ROOT}"
  RESULT_VARIABLE _kestrel_jpeg_rc)
if(NOT _kestrel_jpeg_rc EQUAL 0)
  message(FATAL_ERROR "scripts/build-libjpeg ${_kestrel_jpeg_arch} failed")
endif()
add_library(kestrel_jpeg STATIC IMPORTED GLOBAL)
set_target_properties(kestrel_jpeg PROPERTIES
  IMPORTED_LOCATION "${KESTREL_JPEG_ROOT}/lib/libjpeg.a"
  INTERFACE_INCLUDE_DIRECTORIES "${KESTREL_JPEG_ROOT}/include")
