# CPack post-build script: writes SHA256SUMS.txt into the staged release folder
# and writes the zip again over CPack's own, byte for byte the same from the same
# commit. CPack's writer stores each staged file's own modification, access and
# change times and its owner; this one stores one fixed time (the commit's),
# fixed modes and the files in byte order, and nothing else.
set(stage ${CPACK_TEMPORARY_DIRECTORY})
set(zip ${CPACK_PACKAGE_FILES})
if(NOT zip MATCHES "^[^;]+\\.zip$")
  message(STATUS "release zip: ${zip} is no zip of the release, left as CPack wrote it")
  return()
endif()
if(NOT IS_DIRECTORY "${stage}")
  message(FATAL_ERROR "release zip: no staging folder '${stage}'")
endif()
if(NOT CPACK_KIT_ZIP)
  message(FATAL_ERROR "release zip: the zip program is missing (scripts/setup installs it)")
endif()

# The files' time: SOURCE_DATE_EPOCH when the caller sets one, else the commit's.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "" AND CPACK_KIT_GIT)
  execute_process(COMMAND ${CPACK_KIT_GIT} -C ${CPACK_KIT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  set(epoch 946684800)  # 2000-01-01 00:00 UTC: no commit to date the files by
  message(STATUS "release zip: no SOURCE_DATE_EPOCH and no git commit, files dated 2000-01-01")
endif()

file(REMOVE ${stage}/SHA256SUMS.txt)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(SORT files)
set(sums "")
foreach(f ${files})
  file(SHA256 ${stage}/${f} hash)
  string(APPEND sums "${hash}  ${f}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS.txt "${sums}")
list(APPEND files SHA256SUMS.txt)
list(SORT files)

foreach(f ${files})
  if(f MATCHES "\\.(exe|dll)$")
    file(CHMOD ${stage}/${f} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                         WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD ${stage}/${f} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
execute_process(COMMAND touch -d @${epoch} ${files} WORKING_DIRECTORY ${stage} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "release zip: touch failed (${rc})")
endif()

# -X: no owner or extra time fields; -D: no folder entries; names in the given
# order; TZ=UTC so that the zip's local times do not depend on the machine's zone.
list(JOIN files "\n" names)
file(WRITE ${CPACK_TOPLEVEL_DIRECTORY}/release-files.txt "${names}\n")
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${CPACK_KIT_ZIP} -X -D -q -9 ${zip} -@
                INPUT_FILE ${CPACK_TOPLEVEL_DIRECTORY}/release-files.txt
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "release zip: zip failed (${rc})")
endif()
