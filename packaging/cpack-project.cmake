# Read by cpack for each generator, before it installs the files to package.
# A Debian package puts the udev rule where Debian's udev reads it, whatever
# folder this build tree's own installs use; the same for the bridge's
# systemd unit.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(ENV{VELORIN_PACKAGE_UDEVDIR} "${CPACK_VELORIN_UDEVDIR}")
  set(ENV{VELORIN_PACKAGE_SYSTEMD_UNITDIR} "${CPACK_VELORIN_SYSTEMD_UNITDIR}")
else()
  unset(ENV{VELORIN_PACKAGE_UDEVDIR})
  unset(ENV{VELORIN_PACKAGE_SYSTEMD_UNITDIR})
endif()
