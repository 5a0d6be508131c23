# The test bed's 64-bit build (see KIT_TEST_BED_64): the same sources for x86-64
# Windows, run under 64-bit Wine on hosts that run no 32-bit code. Never shipped.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KIT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KIT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${KIT_MINGW_PREFIX}-windres)
set(CMAKE_AR           ${KIT_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${KIT_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(KIT_WIDL           ${KIT_MINGW_PREFIX}-widl CACHE FILEPATH "widl for the OPC IDL")

set(CMAKE_FIND_ROOT_PATH /usr/${KIT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(KIT_TEST_BED_64 ON CACHE BOOL "Allow a 64-bit build, for the test suite only")
