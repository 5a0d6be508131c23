# The release archive: everything a Windows user copies into one folder.
# `cmake --install` lays it out (flat, plus x64\); `cpack` zips it as OPC.Krel-3.0-win32.zip,
# with SHA256SUMS.txt.
set(KIT_RELEASE_TARGETS KetraOPCClient OPC.Krel.Client OPC.Krel.Server OPC.Krel.Enum OPC.Krel.Inst FwSetup
    KetraOPCServer OPCKrelProxy)
foreach(target ${KIT_RELEASE_TARGETS})
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION .)
  else()
    message(STATUS "release: ${target} is not part of this build")
  endif()
endforeach()
# What a Windows user needs to build a client of the library.
if(TARGET KetraOPCClient)
  install(TARGETS KetraOPCClient ARCHIVE DESTINATION lib)
  install(FILES ${CMAKE_SOURCE_DIR}/opcclient/IOPCClient.h DESTINATION include)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/dist/OPC.Krel.Client.ini ${CMAKE_SOURCE_DIR}/dist/LEEME.txt DESTINATION .)
# x64\: the client files for 64-bit programs (cmake/X64Kit.cmake), with the same
# header and INI.
if(TARGET kit_x64)
  foreach(f ${KIT_X64_FILES})
    install(PROGRAMS ${KIT_X64_DIR}/bin/${f} DESTINATION x64)
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/dist/OPC.Krel.Client.ini DESTINATION x64)
  install(FILES ${KIT_X64_DIR}/lib/libKetraOPCClient.dll.a DESTINATION x64/lib)
  install(FILES ${CMAKE_SOURCE_DIR}/opcclient/IOPCClient.h DESTINATION x64/include)
endif()

# The zip CPack writes is written again by cmake/ReleaseZip.cmake, with
# SHA256SUMS.txt and reproducibly.
find_program(KIT_ZIP zip)
find_program(KIT_GIT git)
set(CPACK_KIT_ZIP ${KIT_ZIP})
set(CPACK_KIT_GIT ${KIT_GIT})
set(CPACK_KIT_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/ReleaseZip.cmake)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME OPC.Krel)
set(CPACK_PACKAGE_VERSION 3.0)
set(CPACK_PACKAGE_FILE_NAME OPC.Krel-3.0-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
