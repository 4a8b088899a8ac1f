# Installation beyond the program itself (src/cli installs bin/nexir-updater), and the
# Debian package built by CPack: `cpack -G DEB` in the build folder, or the `package`
# target. Nothing of the card bench, the tests or the benchmarks is installed; the
# install_tree test and a check before CPack packs make sure of it.
include(GNUInstallDirs)

# udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d as well as
# /lib/udev/rules.d, so the rule follows the prefix.
set(NEXIR_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder of the udev rule, relative to the install prefix or absolute")
set(NEXIR_UDEV_RULE ${PROJECT_SOURCE_DIR}/packaging/udev/70-nexir-ftdi.rules)

install(FILES ${NEXIR_UDEV_RULE} DESTINATION ${NEXIR_UDEV_RULES_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/hardware.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NEXIR_BUILD_TESTS)
  # Installs the build into a scratch prefix and checks what lands there.
  add_test(NAME install_tree
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DPREFIX=${CMAKE_BINARY_DIR}/install-tree-check
                   -DUDEV_RULES_DIR=${NEXIR_UDEV_RULES_DIR}
                   -DDOC_DIR=${CMAKE_INSTALL_DOCDIR}
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckInstallTree.cmake)
endif()

set(NEXIR_PACKAGE_MAINTAINER "NEXIR updater maintainers <nexir-updater@example.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nexir-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NEXIR")
set(CPACK_PACKAGE_CONTACT "${NEXIR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inspect and update NEXIR cards over FTDI's D2XX library")
# Extended description: lines of at most 79 characters, as Debian asks.
set(CPACK_PACKAGE_DESCRIPTION
"nexir-updater lists the NEXIR cards of a rack, updates their FPGA image or
host software, and chooses the image they boot. A card is reached over USB
through its FTDI FT2232H chip.

The program loads FTDI's proprietary D2XX library, libftd2xx.so, at run time.
That library is not a Debian package and is not part of this one: install it
separately from FTDI (see /usr/share/doc/nexir-updater/hardware.md).

The package ships a udev rule that gives the plugdev group access to FT2232H
devices (USB 0403:6010) and takes them away from the kernel's ftdi_sio serial
driver, which affects every FT2232H on the machine.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NEXIR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Refuses to pack when anything named like the D2XX library reached the staging tree:
# the only libftd2xx.so the build makes is the card bench.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/CheckPackageTree.cmake)

include(CPack)
