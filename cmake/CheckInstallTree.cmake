# Installs the build in BUILD_DIR into the scratch prefix PREFIX and checks the tree:
# the program, the udev rule, the documentation, the manual page and the completion are there, and nothing of the card
# bench, the tests or the benchmarks is.
# Usage: cmake -DBUILD_DIR=... -DPREFIX=... -DUDEV_RULES_DIR=... -DDOC_DIR=... -P CheckInstallTree.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
list(JOIN installed "\n  " listing)
message(STATUS "installed:\n  ${listing}")

set(failures "")
foreach(required bin/nexir-updater ${UDEV_RULES_DIR}/70-nexir-ftdi.rules
                 ${DOC_DIR}/README.md ${DOC_DIR}/hardware.md ${DOC_DIR}/rack.md ${DOC_DIR}/copyright
                 ${DOC_DIR}/changelog.gz share/man/man1/nexir-updater.1.gz
                 share/bash-completion/completions/nexir-updater)
  if(NOT required IN_LIST installed)
    list(APPEND failures "missing: ${required}")
  endif()
endforeach()
foreach(path IN LISTS installed)
  if(path MATCHES "libftd2xx|cardbench|[._-]tests?$|_test[^/]*$|benchmark|\\.so(\\.|$)|\\.a$|^include/")
    list(APPEND failures "must not be installed: ${path}")
  endif()
endforeach()
# Without a D2XX library the installed program points at its installed documentation.
set(empty "${PREFIX}/no-library")
file(MAKE_DIRECTORY "${empty}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env LD_LIBRARY_PATH=${empty} "${PREFIX}/bin/nexir-updater" log -b 9600
                OUTPUT_QUIET ERROR_VARIABLE hint)
if(NOT hint MATCHES "\"The D2XX library from FTDI\" in ${PREFIX}/${DOC_DIR}/hardware.md describes")
  list(APPEND failures "the missing-library hint does not name the installed hardware.md: ${hint}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
if(failures)
  list(JOIN failures "\n  " failure_text)
  message(FATAL_ERROR "install tree check failed:\n  ${failure_text}")
endif()
