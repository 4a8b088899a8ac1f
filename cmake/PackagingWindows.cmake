# The Windows release: `cpack -G ZIP` in build-windows/ gives
# nexir-updater-<version>-win64.zip, one folder with the program and its documentation,
# and a folder recorder/ with the D2XX recorder (recorder/CMakeLists.txt installs it).
# FTD2XX.dll is FTDI's (docs/hardware.md says where it comes from) and never ships with
# the program: the card bench builds under that name, and the check that CPack runs
# before packing refuses it, and any other DLL but the recorder in recorder/.
install(FILES ${PROJECT_SOURCE_DIR}/docs/hardware.md ${PROJECT_SOURCE_DIR}/docs/rack.md DESTINATION .)

# The zip's own README, for a Windows user: the repository's README.md speaks of Debian and
# the build. Its PowerShell rack recipe is the one in rack.md, taken from there.
file(READ ${PROJECT_SOURCE_DIR}/docs/rack.md rack_text)
string(FIND "${rack_text}" "```powershell\n# Updates slots" recipe_start)
if(recipe_start LESS 0)
  message(FATAL_ERROR "docs/rack.md has no PowerShell recipe for README-Windows.txt")
endif()
math(EXPR recipe_start "${recipe_start} + 14")
string(SUBSTRING "${rack_text}" ${recipe_start} -1 recipe)
string(FIND "${recipe}" "\n```" recipe_end)
string(SUBSTRING "${recipe}" 0 ${recipe_end} recipe)
string(REPLACE "\n" "\n    " NEXIR_RACK_POWERSHELL "    ${recipe}")
set(NEXIR_VERSION ${PROJECT_VERSION})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/rack.md)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README-Windows.txt.in ${CMAKE_BINARY_DIR}/README-Windows.txt
               @ONLY NEWLINE_STYLE WIN32)
install(FILES ${CMAKE_BINARY_DIR}/README-Windows.txt DESTINATION .)

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
