# The test bed's 64-bit build (see KIT_TEST_BED_64): the same sources for x86-64
# Windows, run under 64-bit Wine on hosts that run no 32-bit code. Never shipped.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIT_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(KIT_TEST_BED_64 ON CACHE BOOL "Allow a 64-bit build, for the test suite only")
