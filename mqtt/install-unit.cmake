# Install step for the systemd unit, which names the program by its full
# path: known only once the install prefix is (cmake --install --prefix,
# cpack), so the unit is written here rather than at configure time.
# Set by the install code before this script runs:
#   VELORIN_UNIT_TEMPLATE, VELORIN_UNIT_STAGE, VELORIN_BINDIR, VELORIN_SYSTEMD_UNITDIR,
#   VELORIN_GROUP
# A Debian package pins the folder (packaging/cpack-project.cmake).
if(DEFINED ENV{VELORIN_PACKAGE_SYSTEMD_UNITDIR})
  set(VELORIN_SYSTEMD_UNITDIR "$ENV{VELORIN_PACKAGE_SYSTEMD_UNITDIR}")
endif()
foreach(dir VELORIN_BINDIR VELORIN_SYSTEMD_UNITDIR)
  if(IS_ABSOLUTE "${${dir}}")
    set(${dir}_FULL "${${dir}}")
  else()
    set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()

set(VELORIN_MQTT_PROGRAM "${VELORIN_BINDIR_FULL}/velorin-mqtt")
# One staged copy per prefix, so installs to different prefixes never share it.
string(MD5 prefix_key "${VELORIN_MQTT_PROGRAM} ${VELORIN_GROUP}")
set(staged "${VELORIN_UNIT_STAGE}/${prefix_key}/velorin-mqtt.service")
configure_file("${VELORIN_UNIT_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL DESTINATION "${VELORIN_SYSTEMD_UNITDIR_FULL}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${staged}")
