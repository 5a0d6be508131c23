# The release's x64 folder: KetraOPCClient.dll (with its import library),
# OPC.Krel.Client.exe and OPCKrelProxy.dll for 64-bit programs, from the same
# sources with the x86-64 toolchain, in a tree of its own inside this one
# (x64-kit/) that builds those three and nothing else. Its files are stripped,
# their symbols beside them, like the 32-bit ones (cmake/KitRelease.cmake), and
# the same bytes from the same commit.
option(KIT_RELEASE_X64 "Build the release's x64 client files" ON)
set(KIT_X64_DIR ${CMAKE_BINARY_DIR}/x64-kit)
set(KIT_X64_FILES KetraOPCClient.dll OPC.Krel.Client.exe OPCKrelProxy.dll)
if(MSVC OR NOT KIT_RELEASE_X64 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
include(ExternalProject)
# Under make, the parent's job server (-j) is shared with the inner build.
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(kit_x64_build $(MAKE))
else()
  set(kit_x64_build ${CMAKE_COMMAND} --build <BINARY_DIR> --target)
endif()
set(kit_x64_byproducts ${KIT_X64_DIR}/lib/libKetraOPCClient.dll.a)
foreach(f ${KIT_X64_FILES})
  list(APPEND kit_x64_byproducts ${KIT_X64_DIR}/bin/${f})
endforeach()
ExternalProject_Add(kit_x64
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${KIT_X64_DIR}
  PREFIX ${CMAKE_BINARY_DIR}/x64-kit-stamp
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake
             -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DKIT_TEST_BED_64=OFF -DKIT_X64_CLIENT=ON
             -DKIT_BUILD_TESTS=OFF
  BUILD_COMMAND ${kit_x64_build} KetraOPCClient OPC.Krel.Client OPCKrelProxy
  BUILD_ALWAYS TRUE
  BUILD_BYPRODUCTS ${kit_x64_byproducts}
  INSTALL_COMMAND "")
