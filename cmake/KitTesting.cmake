# GoogleTest from Debian's source package, built with the kit's own compiler, and
# one CTest test per test executable (each start of a Windows program under Wine
# costs real time, so cases are not registered one by one).
set(KIT_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(NOT TARGET gtest)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${KIT_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
# Debug information is for the shipped code (cmake/KitRelease.cmake); in the test
# programs it would make every one four times the size and slow every build.
set(KIT_TEST_NO_DEBUG_INFO $<$<NOT:$<CXX_COMPILER_ID:MSVC>>:-g0>)
foreach(lib gtest gtest_main gmock gmock_main)
  if(TARGET ${lib})
    target_compile_options(${lib} PRIVATE ${KIT_TEST_NO_DEBUG_INFO})
  endif()
endforeach()

# kit_add_gtest(<name> SOURCES ... [LIBS ...] [TIMEOUT s] [DEPENDS targets...])
function(kit_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;ARGS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${KIT_TEST_NO_DEBUG_INFO})
  target_link_libraries(${name} PRIVATE gtest gtest_main kit_common ${ARG_LIBS})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no ${ARG_ARGS}
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # 77: scripts/wine-run found a host that runs no 32-bit code (a skip, not a pass).
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  kit_test_timeout(${name} ${ARG_TIMEOUT})
endfunction()

# Time-outs only stop a test that hangs; where the suite runs in an emulated
# machine (the 32-bit lane on a host that runs no 32-bit code: scripts/test sets
# the factor) every program is several times slower, and so are the time-outs.
set(KIT_TEST_TIMEOUT_SCALE 1 CACHE STRING "Factor applied to every test's time-out")
function(kit_test_timeout test seconds)
  math(EXPR seconds "${seconds} * ${KIT_TEST_TIMEOUT_SCALE}")
  set_tests_properties(${test} PROPERTIES TIMEOUT ${seconds})
endfunction()
