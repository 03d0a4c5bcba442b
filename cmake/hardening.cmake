# Debian's default hardening, for every program built here and so for the
# two that are installed (velorin, velorin-record): a stack protector, format
# checks, position-independent executables, and relocations made read-only
# and bound at start-up.
#
# _FORTIFY_SOURCE only where the compiler optimises (glibc warns about it at
# -O0, as in Debug builds) and not in the sanitizer and fuzzing builds, which
# check those calls themselves; nor twice when the flags already set it.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
add_link_options(LINKER:-z,relro LINKER:-z,now)
if(NOT VELORIN_SANITIZE AND NOT VELORIN_FUZZ
   AND NOT "${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" MATCHES "_FORTIFY_SOURCE")
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
