# The Windows build, included by the top-level CMakeLists.txt in place of the
# Linux parts: velorin.exe, its tests under Wine, and its ZIP and installer.
add_subdirectory(switch)
add_subdirectory(cli)

install(TARGETS velorin RUNTIME DESTINATION bin)
install(FILES README.md LICENSE docs/windows.md DESTINATION .)

set(CPACK_PACKAGE_NAME velorin)
set(CPACK_PACKAGE_VENDOR "the velorin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Switches USB on/off switches (16c0:2823) from the command line")
set(CPACK_PACKAGE_INSTALL_DIRECTORY velorin)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR ZIP)
find_program(VELORIN_MAKENSIS makensis)
if(VELORIN_MAKENSIS)
  list(APPEND CPACK_GENERATOR NSIS)
endif()
# A 64-bit installer (NSIS makes a 32-bit one otherwise, which installs
# nothing under 64-bit Windows). It puts bin\velorin.exe on every user's
# PATH, also when run silently (/S), and its uninstaller, which takes the
# folder off the PATH again, is told it was added for all users.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME "velorin ${PROJECT_VERSION}")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "StrCpy $ADD_TO_PATH_ALL_USERS 1\nPush \\\"$INSTDIR\\\\bin\\\"\nCall AddToPath")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "StrCpy $ADD_TO_PATH_ALL_USERS 1")
set(CPACK_STRIP_FILES ON)
include(CPack)

# The unit tests build GoogleTest from Debian's sources (libgtest-dev).
if(VELORIN_BUILD_TESTS AND EXISTS /usr/src/googletest/CMakeLists.txt)
  enable_testing()
  add_subdirectory(tests/windows)
elseif(VELORIN_BUILD_TESTS)
  message(STATUS "No Windows tests: they need GoogleTest's sources in /usr/src/googletest (libgtest-dev)")
endif()
