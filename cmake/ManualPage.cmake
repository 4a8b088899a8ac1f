# The manual page nexir-updater(1), made at build time by help2man from the program's
# own --help texts (packaging/man/help-texts.sh) and an include file for what they
# cannot say, and the bash completion. Both only where the built program runs and
# bash-completion and man are at home: native Linux builds.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_CROSSCOMPILING)
  return()
endif()

include(GNUInstallDirs)
find_program(NEXIR_HELP2MAN help2man REQUIRED)
set(NEXIR_MAN_PAGE ${CMAKE_BINARY_DIR}/man/nexir-updater.1)
set(man_sources ${PROJECT_SOURCE_DIR}/packaging/man/help-texts.sh
                ${PROJECT_SOURCE_DIR}/packaging/man/nexir-updater.h2m)
add_custom_command(
  OUTPUT ${NEXIR_MAN_PAGE} ${NEXIR_MAN_PAGE}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${NEXIR_HELP2MAN} --no-info --section=1 "--version-string=${PROJECT_NAME} ${PROJECT_VERSION}"
          "--name=inspect and update NEXIR cards over FTDI's D2XX library"
          --include=${PROJECT_SOURCE_DIR}/packaging/man/nexir-updater.h2m
          --output=${NEXIR_MAN_PAGE}
          "${PROJECT_SOURCE_DIR}/packaging/man/help-texts.sh $<TARGET_FILE:nexir-updater>"
  COMMAND gzip -9nkf ${NEXIR_MAN_PAGE}
  DEPENDS nexir-updater ${man_sources}
  VERBATIM)
add_custom_target(man_page ALL DEPENDS ${NEXIR_MAN_PAGE}.gz)
install(FILES ${NEXIR_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash-completion loads completions/<command> on first use.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/nexir-updater
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
