# Install step for the udev rule. The rule names the record helper by its full
# path, which is only known once the install prefix is (cmake --install
# --prefix, cpack), so the rule is written here rather than at configure time.
# Set by the install code before this script runs:
#   VELORIN_RULE_TEMPLATE, VELORIN_RULE_STAGE, VELORIN_LIBEXECDIR, VELORIN_UDEVDIR,
#   VELORIN_GROUP
# A Debian package pins the folder (cpack-project.cmake).
if(DEFINED ENV{VELORIN_PACKAGE_UDEVDIR})
  set(VELORIN_UDEVDIR "$ENV{VELORIN_PACKAGE_UDEVDIR}")
endif()
foreach(dir VELORIN_LIBEXECDIR VELORIN_UDEVDIR)
  if(IS_ABSOLUTE "${${dir}}")
    set(${dir}_FULL "${${dir}}")
  else()
    set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()

set(VELORIN_RECORD_HELPER "${VELORIN_LIBEXECDIR_FULL}/velorin-record")
# One staged copy per prefix, so installs to different prefixes never share it.
string(MD5 prefix_key "${VELORIN_RECORD_HELPER} ${VELORIN_GROUP}")
set(staged "${VELORIN_RULE_STAGE}/${prefix_key}/60-velorin.rules")
configure_file("${VELORIN_RULE_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL DESTINATION "${VELORIN_UDEVDIR_FULL}/rules.d" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${staged}")
