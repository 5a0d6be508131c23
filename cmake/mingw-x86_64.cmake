# The same sources for x86-64 Windows: the test bed's 64-bit build (see
# KIT_TEST_BED_64, run under 64-bit Wine; never shipped), and, with
# -DKIT_TEST_BED_64=OFF -DKIT_X64_CLIENT=ON, the release's x64 client files.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIT_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(KIT_TEST_BED_64 ON CACHE BOOL "Allow a 64-bit build, for the test suite only")
