# Run by CPack after it has installed the files to pack into its staging folder and
# before it packs them: fails when a D2XX library (in this build, the card bench: its
# libftd2xx.so or FTD2XX.dll), any other DLL, or anything else of the bench, the tests
# or the benchmarks is among them. The one exception is the D2XX recorder in its own
# folder, and only a file there that is the recorder: it names its recording format.
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
  message(FATAL_ERROR "staging folder not found: '${CPACK_TEMPORARY_DIRECTORY}'")
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
     "${CPACK_TEMPORARY_DIRECTORY}/*")
set(refused "")
foreach(path IN LISTS staged)
  string(TOLOWER "${path}" lower)
  if(lower MATCHES "(^|/)(lib/nexir-updater/recorder/libftd2xx\\.so|recorder/ftd2xx\\.dll)$")
    file(STRINGS "${CPACK_TEMPORARY_DIRECTORY}/${path}" recorder_marker REGEX "nexir-d2xx-recording" LIMIT_COUNT 1)
    if(recorder_marker)
      continue()
    endif()
  endif()
  if(lower MATCHES "ftd2xx|cardbench|[._-]tests?$|_test[^/]*$|benchmark|\\.so(\\.|$)|\\.a$|\\.dll$")
    list(APPEND refused "${path}")
  endif()
endforeach()
if(refused)
  list(JOIN refused "\n  " refused_text)
  message(FATAL_ERROR "refusing to pack files that must not ship:\n  ${refused_text}")
endif()
