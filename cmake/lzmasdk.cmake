# The LZMA SDK's C decoder (public domain), unpacked from Debian's source package `lzma`, version
# pinned in scripts/fetch-lzma-sdk, into build/third_party/lzma-sdk. Every preset compiles it into
# the target kestrel_lzma_sdk: setup.exe decodes solid packages with it, and the host's readers
# (list, verify, extract, the tests and fuzzers) run the very same code.
set(KESTREL_LZMA_SDK "${PROJECT_SOURCE_DIR}/build/third_party/lzma-sdk"
    CACHE PATH "The LZMA SDK's decoder sources (LzmaDec.c, Lzma2Dec.c and their headers)")
execute_process(
  COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-lzma-sdk" "${KESTREL_LZMA_SDK}"
  RESULT_VARIABLE _kestrel_lzma_sdk_rc)
if(NOT _kestrel_lzma_sdk_rc EQUAL 0)
  message(FATAL_ERROR "scripts/fetch-lzma-sdk failed")
endif()
add_library(kestrel_lzma_sdk STATIC
  ${KESTREL_LZMA_SDK}/LzmaDec.c ${KESTREL_LZMA_SDK}/Lzma2Dec.c
  ${PROJECT_SOURCE_DIR}/sysutil/lzma2glue.c)
target_include_directories(kestrel_lzma_sdk PRIVATE ${KESTREL_LZMA_SDK} ${PROJECT_SOURCE_DIR})
# their code, not ours: no warnings of ours apply to it
set_source_files_properties(${KESTREL_LZMA_SDK}/LzmaDec.c ${KESTREL_LZMA_SDK}/Lzma2Dec.c
  PROPERTIES COMPILE_OPTIONS "-w")
if(WIN32 AND NOT KESTREL_FUZZ)
  # size over speed in setup.exe: -O2 buys nothing here (60 MB of HTML and libraries decoded on the
  # host in 0.74 s at -Os, 0.76 s at -O2) and costs 2.5 KB
  target_compile_options(kestrel_lzma_sdk PRIVATE -Os)
endif()
