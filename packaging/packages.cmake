# The Debian packages, one for each install component, all from one build:
#
#   (cd build && cpack -G DEB)
#
# Included after every part, so that each part's component is known: a part
# that is not built here (its component does not exist) has no package. Each
# package's control files (maintainer scripts, conffiles) and lintian
# overrides are the files in debian/<package>/.

set(debian ${CMAKE_CURRENT_LIST_DIR}/debian)
set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
get_cmake_property(components COMPONENTS)

# The folders a package installs into are Debian's own, not what this
# machine's pkg-config says: the package is then the same wherever it is built.
set(VELORIN_DEB_UDEVDIR "/usr/lib/udev" CACHE STRING "udev folder of the Debian package")
set(VELORIN_DEB_SYSTEMD_UNITDIR "/usr/lib/systemd/system" CACHE STRING "systemd unit folder of the Debian package")

# velorin_deb_package(COMPONENT NAME name SUMMARY text DESCRIPTION text
#                     [PLAIN] [ARCH_ALL] [SECTION section] [LINKS package...]
#                     [DEPENDS ...] [RECOMMENDS ...] [SUGGESTS ...] [DOCS file...])
# PLAIN: the component is part of a plain install, so are its documents.
# DOCS: pages of docs/ the package's man page points to, in its doc folder.
# LINKS: the component has programs; Depends names the libraries they link,
# with versions, where dpkg-shlibdeps is available, else these packages.
function(velorin_deb_package component)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PLAIN;ARCH_ALL" "NAME;SUMMARY;DESCRIPTION;SECTION"
                        "LINKS;DEPENDS;RECOMMENDS;SUGGESTS;DOCS")
  if(NOT component IN_LIST components)
    return()
  endif()
  string(TOUPPER ${component} c)
  set(v CPACK_DEBIAN_${c})
  set(${v}_PACKAGE_NAME ${arg_NAME} PARENT_SCOPE)
  set(${v}_FILE_NAME DEB-DEFAULT PARENT_SCOPE)
  set(${v}_DESCRIPTION "${arg_SUMMARY}\n${arg_DESCRIPTION}" PARENT_SCOPE)
  set(${v}_PACKAGE_SECTION ${arg_SECTION} PARENT_SCOPE)
  if(arg_ARCH_ALL)
    set(${v}_PACKAGE_ARCHITECTURE all PARENT_SCOPE)
  endif()
  if(arg_LINKS AND VELORIN_DPKG_SHLIBDEPS AND VELORIN_FILE)
    # dpkg-shlibdeps adds what the programs link to Depends.
    set(${v}_PACKAGE_SHLIBDEPS ON PARENT_SCOPE)
  else()
    set(${v}_PACKAGE_SHLIBDEPS OFF PARENT_SCOPE)
    list(APPEND arg_DEPENDS ${arg_LINKS})
  endif()
  foreach(field DEPENDS RECOMMENDS SUGGESTS)
    list(JOIN arg_${field} ", " value)
    set(${v}_PACKAGE_${field} "${value}" PARENT_SCOPE)
  endforeach()
  file(GLOB control LIST_DIRECTORIES false ${debian}/${arg_NAME}/*)
  list(FILTER control EXCLUDE REGEX "/lintian-overrides$")
  set(${v}_PACKAGE_CONTROL_EXTRA "${control}" PARENT_SCOPE)
  set(${v}_PACKAGE_CONTROL_STRICT_PERMISSION ON PARENT_SCOPE)

  # Every package carries the copyright, the changelog and its lintian
  # overrides under its own name.
  if(arg_PLAIN)
    set(exclude "")
  else()
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  list(TRANSFORM arg_DOCS PREPEND ${PROJECT_SOURCE_DIR}/docs/)
  install(FILES ${debian}/copyright ${changelog} ${arg_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${arg_NAME}
          COMPONENT ${component} ${exclude})
  install(FILES ${debian}/${arg_NAME}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${arg_NAME} COMPONENT ${component} ${exclude})
  set(packaged ${packaged} ${component} PARENT_SCOPE)
  set(package_names "${package_names} ${arg_NAME}" PARENT_SCOPE)
endfunction()

# The tool links libusb 0.1 (package libusb-0.1-4). dpkg-shlibdeps (with
# file, which CPack uses to find the programs), where present, finds it with
# its version and adds the C and C++ runtimes; without them the package
# names libusb itself.
find_program(VELORIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VELORIN_FILE file)

set(packaged "")
set(package_names "")
velorin_deb_package(velorin PLAIN
  NAME velorin SECTION utils
  SUMMARY "console tool for Velorin USB on/off switches"
  DESCRIPTION "Turns Velorin USB switches (16c0:2823) on or off, reports their state and\nlists the switches installed and available. A udev rule gives the local\nuser and the group ${VELORIN_GROUP} access and records each plugged switch."
  LINKS libusb-0.1-4
  RECOMMENDS bash-completion
  DOCS usbip.md)
velorin_deb_package(lab ARCH_ALL
  NAME velorin-lab SECTION python
  SUMMARY "labgrid and pdudaemon drivers for Velorin USB switches"
  DESCRIPTION "A labgrid resource and power driver, and a pdudaemon driver, that switch\nVelorin USB switches through the velorin tool, for test benches that power\ntheir devices through such a switch."
  DEPENDS python3 velorin
  SUGGESTS python3-labgrid pdudaemon
  DOCS lab.md)
# The bridge reaches the switches through the velorin package's udev rule.
# Its service is not enabled on install: it needs the broker written into
# its configuration first.
velorin_deb_package(mqtt
  NAME velorin-mqtt SECTION net
  SUMMARY "MQTT bridge for Velorin USB switches, with Home Assistant discovery"
  DESCRIPTION "Publishes the state of every attached Velorin USB switch (16c0:2823) on an\nMQTT broker and switches them on the broker's commands, with Home Assistant\nMQTT discovery. The systemd service velorin-mqtt is not enabled on install:\nwrite the broker into /etc/velorin/mqtt.conf (and the password into\n/etc/velorin/credentials/), then run: systemctl enable --now velorin-mqtt"
  LINKS libmosquitto1 libusb-0.1-4
  DEPENDS velorin
  DOCS mqtt.md)

# The package names, for the package tests.
string(STRIP "${package_names}" VELORIN_DEB_PACKAGES)

set(VELORIN_PACKAGE_CONTACT "velorin maintainers <maintainers@velorin.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velorin)
set(CPACK_PACKAGE_VENDOR "velorin maintainers")
set(CPACK_PACKAGE_CONTACT "${VELORIN_PACKAGE_CONTACT}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${packaged})
# Installs with DESTDIR so the udev rule's absolute folder and the helper path
# written into the rule both come out right.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The Debian revision; debian/changelog's first entry names the same version.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Read by cpack before it installs: the install steps take the package's udev
# and systemd folders from there.
set(CPACK_VELORIN_UDEVDIR "${VELORIN_DEB_UDEVDIR}")
set(CPACK_VELORIN_SYSTEMD_UNITDIR "${VELORIN_DEB_SYSTEMD_UNITDIR}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
