# Installation beyond the program itself (src/cli installs bin/nexir-updater, recorder/
# the D2XX recorder with its wrapper), and the Debian package built by CPack: `cpack -G
# DEB` in the build folder, or the `package` target. Nothing of the card bench, the
# tests or the benchmarks is installed; the install_tree test and a check before CPack
# packs make sure of it.
include(GNUInstallDirs)

# udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d as well as
# /lib/udev/rules.d, so the rule follows the prefix.
set(NEXIR_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder of the udev rule, relative to the install prefix or absolute")
set(NEXIR_UDEV_RULE ${PROJECT_SOURCE_DIR}/packaging/udev/70-nexir-ftdi.rules)

install(FILES ${NEXIR_UDEV_RULE} DESTINATION ${NEXIR_UDEV_RULES_DIR})
# The installed README is the one written for users of an installed program.
install(FILES ${PROJECT_SOURCE_DIR}/docs/README.installed.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME README.md)
install(FILES ${PROJECT_SOURCE_DIR}/docs/hardware.md ${PROJECT_SOURCE_DIR}/docs/rack.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NEXIR_BUILD_TESTS)
  # Installs the build into a scratch prefix and checks what lands there.
  add_test(NAME install_tree
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -DPREFIX=${CMAKE_BINARY_DIR}/install-tree-check
                   -DUDEV_RULES_DIR=${NEXIR_UDEV_RULES_DIR}
                   -DDOC_DIR=${CMAKE_INSTALL_DOCDIR}
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckInstallTree.cmake)
endif()

set(CPACK_PACKAGE_NAME nexir-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NEXIR")
set(CPACK_PACKAGE_CONTACT "${NEXIR_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inspect and update NEXIR cards over USB")
# Extended description in the words of the program's --help, lines of at most 79
# characters, as Debian asks.
set(CPACK_PACKAGE_DESCRIPTION
"nexir-updater is a console tool for NEXIR cards, which are reached over USB
through the FTDI FT2232H chip on the card. Its commands:
 log     Print system status: slot, serial number, FPGA and software
         version of every ready card.
 update  Update either the FPGA or the Linux host software of the card in
         a given slot from an image file, with a progress bar.
 boot    Accepts a boot image choice (gold or std) but does not send it to
         the cards yet: it only finds the ready cards and releases them.

The program reaches the cards through libftdi1, which it loads at run time:
plugging a card in is enough. Where FTDI's proprietary D2XX library,
libftd2xx.so, is installed (it is not a Debian package), the program uses it
instead; the environment variable NEXIR_DRIVER chooses (see
/usr/share/doc/nexir-updater/hardware.md).

nexir-updater-record runs the program with a recorder in front of the D2XX
library and writes what passed between the program and the cards to a file, for
the maintainers when an update misbehaves; it never records image data.

The package ships a udev rule that gives the plugdev group access to NEXIR
cards and, for FTDI's library, takes them away from the kernel's ftdi_sio
serial driver; other FT2232H devices are left alone.")
set(CPACK_STRIP_FILES ON)

# Refuses to pack when anything named like the D2XX library reached the staging tree,
# except the recorder in its own folder: the other libftd2xx.so the build makes is the
# card bench.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/CheckPackageTree.cmake)

# Debian package: `cpack -G DEB`. Debian wants the licence and a changelog beside the
# docs, and binaries without the compiler's .comment and .note sections.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NEXIR_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libftdi1 is loaded at run time (dlopen), so shlibdeps cannot see it: named here, at
  # the version whose functions the driver binds (ftdi_setflowctrl_xonxoff is 1.5's).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libftdi1-2 (>= 1.5)")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

  # copyright: the machine-readable form, with the text of LICENSE below its title.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${license}")
  set(NEXIR_COPYRIGHT "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^[^\n]*\n\n" "" license "${license}")
  string(REGEX REPLACE "\n+$" "" license "${license}")
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " NEXIR_LICENSE_TEXT " ${license}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in
                 ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
                 ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
                     COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
                     DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
  add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # Runs after the install rules of the program and the recorder; a stripping install
  # (CPack's) also drops the sections Debian's strip drops.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:nexir-updater>\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${NEXIR_RECORDER_INSTALL_DIR}/$<TARGET_FILE_NAME:recorder>\")
    endif()")
endif()

include(CPack)
