# Installs the build in BUILD_DIR into the scratch prefix PREFIX and checks the tree:
# the program, the udev rule, the documentation, the manual pages, the completion and the
# D2XX recorder with its wrapper are there, and nothing of the card bench, the tests or
# the benchmarks is. Then runs what was installed: the program without a D2XX library,
# and the wrapper with the recorder in front of the bench.
# Usage: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DPREFIX=... -DUDEV_RULES_DIR=... -DDOC_DIR=...
#              -P CheckInstallTree.cmake
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
                 share/bash-completion/completions/nexir-updater bin/nexir-updater-record
                 lib/nexir-updater/recorder/libftd2xx.so share/man/man1/nexir-updater-record.1.gz)
  if(NOT required IN_LIST installed)
    list(APPEND failures "missing: ${required}")
  endif()
endforeach()
foreach(path IN LISTS installed)
  if(path STREQUAL "lib/nexir-updater/recorder/libftd2xx.so")
    continue()
  endif()
  if(path MATCHES "libftd2xx|cardbench|[._-]tests?$|_test[^/]*$|benchmark|\\.so(\\.|$)|\\.a$|^include/")
    list(APPEND failures "must not be installed: ${path}")
  endif()
endforeach()
# Without a D2XX library the installed program points at its installed documentation.
set(empty "${PREFIX}/no-library")
file(MAKE_DIRECTORY "${empty}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env LD_LIBRARY_PATH=${empty} NEXIR_DRIVER=d2xx
                        "${PREFIX}/bin/nexir-updater" log -b 9600
                OUTPUT_QUIET ERROR_VARIABLE hint)
if(NOT hint MATCHES "\"The D2XX library from FTDI\" in ${PREFIX}/${DOC_DIR}/hardware.md describes")
  list(APPEND failures "the missing-library hint does not name the installed hardware.md: ${hint}")
endif()

# The wrapper runs the installed program with the installed recorder, here in front of
# the card bench: the program's output and exit code, then where the recording went; a
# D2XX library that cannot be loaded is named, and no recording made.
function(run_wrapper scenario library)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH
                          NEXIR_RECORD=${PREFIX}/recording.jsonl NEXIR_RECORD_D2XX=${library}
                          CARDBENCH_SCENARIO=${SOURCE_DIR}/cardbench/scenarios/${scenario}
                          "${PREFIX}/bin/nexir-updater-record" log -b 115200
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(code "${code}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()
run_wrapper(rack.json ${BUILD_DIR}/cardbench/libftd2xx.so)
file(READ "${PREFIX}/recording.jsonl" recording LIMIT 64)
if(NOT code EQUAL 0 OR NOT out MATCHES "^1 serial: NX21A0417A fpga:1.7.3 sw:3.2.0\n3 serial: NX23C"
   OR NOT err MATCHES "^nexir-updater recorder: recording this run's D2XX calls to ${PREFIX}/recording.jsonl \\(NEXIR_RECORD\\)\nnexir-updater-record: the recording is in ${PREFIX}/recording.jsonl; send it"
   OR NOT recording MATCHES "^{\"format\":\"nexir-d2xx-recording\",\"version\":1,")
  list(APPEND failures "nexir-updater-record log: exit code ${code}, output '${out}', errors '${err}'")
endif()
file(REMOVE "${PREFIX}/recording.jsonl")
run_wrapper(rack.json ${PREFIX}/no-library/libftd2xx.so)
if(NOT code EQUAL 1 OR NOT out MATCHES "^error: no FTDI devices detected\n"
   OR NOT err MATCHES "^nexir-updater recorder: cannot load the D2XX library that NEXIR_RECORD_D2XX names: [^\n]*no-library/libftd2xx.so[^\n]*\nnexir-updater-record: no recording was made\n$")
  list(APPEND failures "nexir-updater-record without a library: exit code ${code}, output '${out}', errors '${err}'")
endif()

file(REMOVE_RECURSE "${PREFIX}")
if(failures)
  list(JOIN failures "\n  " failure_text)
  message(FATAL_ERROR "install tree check failed:\n  ${failure_text}")
endif()
