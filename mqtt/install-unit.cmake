# Install step for the systemd unit, which names the program by its full path.
# Set by the install code before this script runs:
#   VELORIN_UNIT_TEMPLATE, VELORIN_UNIT_STAGE, VELORIN_BINDIR, VELORIN_SYSTEMD_UNITDIR,
#   VELORIN_GROUP
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/install-configured.cmake")
# A Debian package pins the folder (packaging/cpack-project.cmake).
if(DEFINED ENV{VELORIN_PACKAGE_SYSTEMD_UNITDIR})
  set(VELORIN_SYSTEMD_UNITDIR "$ENV{VELORIN_PACKAGE_SYSTEMD_UNITDIR}")
endif()
velorin_full_path(VELORIN_BINDIR VELORIN_SYSTEMD_UNITDIR)
set(VELORIN_MQTT_PROGRAM "${VELORIN_BINDIR_FULL}/velorin-mqtt")
velorin_install_configured("${VELORIN_UNIT_TEMPLATE}" "${VELORIN_UNIT_STAGE}" velorin-mqtt.service
                           "${VELORIN_MQTT_PROGRAM} ${VELORIN_GROUP}" "${VELORIN_SYSTEMD_UNITDIR_FULL}")
