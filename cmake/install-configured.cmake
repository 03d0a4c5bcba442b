# Install-time helpers for a file that names installed paths (the udev rule
# names the record helper, the unit the bridge): the paths are known only
# once the install prefix is (cmake --install --prefix, cpack), so such a
# file is written by an install script rather than at configure time.

# velorin_full_path(VARIABLE...): sets VARIABLE_FULL to VARIABLE's folder,
# taken under the install prefix when it is relative.
function(velorin_full_path)
  foreach(dir ${ARGN})
    if(IS_ABSOLUTE "${${dir}}")
      set(${dir}_FULL "${${dir}}" PARENT_SCOPE)
    else()
      set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# velorin_install_configured(TEMPLATE STAGE NAME KEY DESTINATION): fills
# TEMPLATE's @VARIABLES@ into STAGE and installs it as DESTINATION/NAME.
# One staged copy per KEY (the paths and settings it names), so installs to
# different prefixes never share it.
macro(velorin_install_configured template stage name key destination)
  string(MD5 velorin_key "${key}")
  configure_file("${template}" "${stage}/${velorin_key}/${name}" @ONLY)
  file(INSTALL DESTINATION "${destination}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${stage}/${velorin_key}/${name}")
endmacro()
