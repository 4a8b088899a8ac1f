# The Windows release: `cpack -G ZIP` in build-windows/ gives
# nexir-updater-<version>-win64.zip, one folder with the program and its documentation,
# and a folder recorder/ with the D2XX recorder (recorder/CMakeLists.txt installs it).
# FTD2XX.dll is FTDI's (docs/hardware.md says where it comes from) and never ships with
# the program: the card bench builds under that name, and the check that CPack runs
# before packing refuses it, and any other DLL but the recorder in recorder/.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/hardware.md ${PROJECT_SOURCE_DIR}/docs/rack.md
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME nexir-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NEXIR")
set(CPACK_PACKAGE_FILE_NAME nexir-updater-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/CheckPackageTree.cmake)

if(NEXIR_BUILD_TESTS)
  # The check refuses the bench's folder, which holds FTD2XX.dll beside the program.
  add_test(NAME package_check_refuses_the_bench
           COMMAND ${CMAKE_COMMAND} -DCPACK_TEMPORARY_DIRECTORY=$<TARGET_FILE_DIR:cardbench>
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckPackageTree.cmake)
  set_tests_properties(package_check_refuses_the_bench PROPERTIES
    PASS_REGULAR_EXPRESSION "refusing to pack files that must not ship:.*FTD2XX\\.dll")
endif()

include(CPack)
