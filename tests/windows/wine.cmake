# The Windows program from the Linux build: cross-built into build/windows
# (with cmake/mingw-w64.cmake), its unit tests run there under Wine, and the
# command-line tables of cli_test.cpp run against velorin.exe under Wine.
# All are labelled windows. Without mingw-w64 or Wine they show as one
# skipped test that says what to install.
find_program(VELORIN_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(VELORIN_WINE64 wine64 PATHS /usr/lib/wine)
find_program(VELORIN_WINESERVER wineserver PATHS /usr/lib/wine)
set(windows_build ${PROJECT_BINARY_DIR}/windows)

if(VELORIN_SANITIZE OR VELORIN_FUZZ)
  # velorin.exe is not built with the sanitizers: its tests run in the plain build.
elseif(NOT VELORIN_MINGW_CXX OR NOT VELORIN_WINE64 OR NOT VELORIN_WINESERVER)
  add_test(NAME windows.skipped
           COMMAND sh -c "echo 'skipped: the Windows tests need g++-mingw-w64-x86-64, wine and wine64'; exit 77")
  set_tests_properties(windows.skipped PROPERTIES LABELS windows SKIP_RETURN_CODE 77)
else()
  include(ExternalProject)
  ExternalProject_Add(velorin_windows
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${windows_build}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake -DVELORIN_BUILD_TESTS=ON
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  add_test(NAME windows.unit COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${windows_build} --output-on-failure)
  set_tests_properties(windows.unit PROPERTIES LABELS "windows;unit")

  add_executable(velorin_wine_cli_tests cli_test.cpp windows/cli_windows_test.cpp support/cli_sandbox.cpp
                                        windows/cli_runner_wine.cpp)
  target_include_directories(velorin_wine_cli_tests PRIVATE support windows)
  target_link_libraries(velorin_wine_cli_tests PRIVATE GTest::gtest_main)
  target_compile_definitions(velorin_wine_cli_tests PRIVATE
    VELORIN_EXE="${windows_build}/velorin.exe"
    FAKEUSB_DLL_DIR="${windows_build}/tests/windows"
    WINE64="${VELORIN_WINE64}"
    WINE_PREFIX_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/support/wine_prefix.sh"
    WINE_TEMPLATE="${windows_build}/wine-template"
    WITH_FIXTURE="${CMAKE_CURRENT_SOURCE_DIR}/support/with_fixture.sh")
  add_dependencies(velorin_wine_cli_tests velorin_windows)
  gtest_discover_tests(velorin_wine_cli_tests TEST_PREFIX "windows." PROPERTIES LABELS "windows;cli")

  # The ZIP and, where nsis is installed, the installer and its uninstaller.
  add_test(NAME windows.package
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/package_test.sh ${windows_build} ${windows_build}/tests/windows)
  set_tests_properties(windows.package PROPERTIES LABELS windows SKIP_RETURN_CODE 77)
endif()
