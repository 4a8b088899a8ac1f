# Hardening of the binaries that ship, as Debian builds its own: glibc's checked string
# and memory functions, stack protectors, and relocations resolved at start-up and then
# made read-only. Linux release builds with GCC or Clang only: the sanitizer and fuzzer
# builds bring their own instrumentation, which _FORTIFY_SOURCE's checked functions
# would hide from them.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang"
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   AND NOT NEXIR_SANITIZE AND NOT NEXIR_BUILD_FUZZERS)
  # Undefined first: some toolchains define a level of their own.
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  add_link_options(LINKER:-z,relro,-z,now)
endif()
