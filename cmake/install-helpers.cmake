# Configure-time helpers for the install rules of the parts (packaging/, mqtt/).

# velorin_install_folder(VARIABLE PACKAGE PC_VARIABLE FALLBACK DOC): a cache
# variable for a folder another package reads files from: that package's own
# answer from pkg-config where it is installed, else FALLBACK. A relative
# value is taken under the install prefix.
function(velorin_install_folder variable package pc_variable fallback doc)
  pkg_get_variable(answer ${package} ${pc_variable})
  if(NOT answer)
    set(answer "${fallback}")
  endif()
  set(${variable} "${answer}" CACHE STRING "${doc} (absolute, or relative to the install prefix)")
endfunction()

# velorin_compress(FROM TO): builds TO.gz, FROM compressed as Debian expects
# (no name, no time stamp, so the same input gives the same bytes).
find_program(VELORIN_GZIP gzip REQUIRED)
function(velorin_compress from to)
  add_custom_command(
    OUTPUT ${to}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${from} ${to}
    COMMAND ${VELORIN_GZIP} -9nf ${to}
    DEPENDS ${from}
    COMMENT "Compressing ${to}"
    VERBATIM)
endfunction()
