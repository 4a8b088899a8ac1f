# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX thread model, for
# std::thread and std::future) from packages g++-mingw-w64-x86-64-posix and
# mingw-w64-tools. Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NEXIR_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NEXIR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NEXIR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${NEXIR_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${NEXIR_MINGW_TRIPLET}-objdump)

# Libraries and headers of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${NEXIR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(NEXIR_WINE NAMES wine wine64)
if(NEXIR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NEXIR_WINE})
endif()

# zlib's static archive, not its import library: the program imports system DLLs only.
set(ZLIB_USE_STATIC_LIBS ON)
