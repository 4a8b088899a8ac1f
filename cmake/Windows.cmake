# The Windows build (MinGW-w64 cross toolchain, see cmake/toolchains). Included before
# the project's warning flags, so that GoogleTest, built here from Debian's sources, is
# compiled with its own.

# One self-contained .exe: the GCC runtimes and winpthread are linked in, so that the
# program and the bench import system DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)
# Windows 7 and later; every Windows API the program uses is there.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# Header-only dependencies come from Debian's own packages. Their folders are copied
# here rather than added as /usr/include, which would put the build machine's C
# headers ahead of MinGW's. find_package() is answered by the redirect configs below.
set(NEXIR_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${NEXIR_HOST_HEADERS})
foreach(folder CLI nlohmann)
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/install-deps.sh")
  endif()
  file(COPY /usr/include/${folder} DESTINATION ${NEXIR_HOST_HEADERS})
endforeach()

function(nexir_redirect_package name version body)
  string(TOLOWER ${name} file)
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${file}-config.cmake "${body}\nset(${name}_FOUND TRUE)\n")
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${file}-config-version.cmake
       "set(PACKAGE_VERSION ${version})\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
endfunction()

foreach(target CLI11::CLI11 nlohmann_json::nlohmann_json)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${NEXIR_HOST_HEADERS})
endforeach()
nexir_redirect_package(CLI11 2.1 "")
nexir_redirect_package(nlohmann_json 3.11 "")

# GoogleTest has no MinGW package in Debian: build it from the sources of the
# `googletest` package with the cross compiler.
if(NEXIR_BUILD_TESTS)
  if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    message(FATAL_ERROR "/usr/src/googletest is missing: run scripts/install-deps.sh")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  nexir_redirect_package(GTest 1.12 "")

  # Listing a test program's cases needs Wine too: done when ctest runs, not in the build.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  # Tests run under Wine, in a prefix of the build's own so that they never touch the
  # user's (see cmake/wine-run.sh.in).
  find_program(NEXIR_WINE NAMES wine REQUIRED)
  set(NEXIR_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                  WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()
