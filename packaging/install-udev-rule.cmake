# Install step for the udev rule, which names the record helper by its full path.
# Set by the install code before this script runs:
#   VELORIN_RULE_TEMPLATE, VELORIN_RULE_STAGE, VELORIN_LIBEXECDIR, VELORIN_UDEVDIR,
#   VELORIN_GROUP
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/install-configured.cmake")
# A Debian package pins the folder (cpack-project.cmake).
if(DEFINED ENV{VELORIN_PACKAGE_UDEVDIR})
  set(VELORIN_UDEVDIR "$ENV{VELORIN_PACKAGE_UDEVDIR}")
endif()
velorin_full_path(VELORIN_LIBEXECDIR VELORIN_UDEVDIR)
set(VELORIN_RECORD_HELPER "${VELORIN_LIBEXECDIR_FULL}/velorin-record")
velorin_install_configured("${VELORIN_RULE_TEMPLATE}" "${VELORIN_RULE_STAGE}" 60-velorin.rules
                           "${VELORIN_RECORD_HELPER} ${VELORIN_GROUP}" "${VELORIN_UDEVDIR_FULL}/rules.d")
