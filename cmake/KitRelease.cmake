# What makes a shipped binary one an administrator can trust: the same bytes from
# the same commit wherever it is built, and no debug information in the file that
# ships while the symbols stay in the build tree for crash reports.
if(NOT MSVC)
  # Full debug information for every object; kit_shipped_binary() moves it out of
  # the shipped file. No build path may reach a binary (debug info, __FILE__): the
  # checkout is named /opc-krel wherever it lies, and the build tree
  # /opc-krel/build (the later map wins for a build tree inside the checkout).
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-g>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/opc-krel>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=/opc-krel/build>")
  # ld stamps the link time into the PE header and the export directory otherwise.
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# kit_shipped_binary(<target>): the file in bin/ (and so in the archive) is
# stripped; its symbols go to <file>.debug beside it, which the stripped file
# names in its .gnu_debuglink section with the CRC of its contents, so that
# gdb and addr2line find them there. -p keeps the link's zero PE time stamp
# (objcopy stamps the current time otherwise).
function(kit_shipped_binary target)
  if(MSVC)
    return()  # Visual C++ keeps the symbols in a .pdb of their own already.
  endif()
  set(file $<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} -p --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} -p --strip-all --add-gnu-debuglink=${file}.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
