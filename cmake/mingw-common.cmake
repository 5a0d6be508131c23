# What the two MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and KIT_MINGW_PREFIX first. Posix thread model (the win32 model has no
# std::mutex), C and C++ runtimes linked statically so the binaries run from a
# copied folder with no extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)

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
