#!/bin/sh
# The Windows packages of a Windows build: the ZIP holds velorin.exe, the
# README, the LICENSE and the Windows page; the installer (made where nsis is
# installed) puts velorin.exe under Program Files and on PATH, and the
# uninstaller takes both away again, under Wine in a prefix of the test's own.
#
# usage: package_test.sh WINDOWS_BUILD FAKE_DLL_DIR
set -eu
build=$1
fake_dll_dir=$2
here=$(dirname "$0")
# shellcheck source=../support/harness.sh
. "$here/../support/harness.sh"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
work=$(mktemp -d "${TMPDIR:-/tmp}/velorin-package-XXXXXX")
trap '"$here/../support/wine_prefix.sh" stop "$work/prefix"; rm -rf "$work"' EXIT

generators=ZIP
if command -v makensis >/dev/null; then generators="ZIP;NSIS"; fi
cpack --config "$build/CPackConfig.cmake" -G "$generators" -B "$work" >/dev/null

listing=$(unzip -Z1 "$work"/velorin-*-win64.zip | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
check "the ZIP holds velorin.exe, the README, the LICENSE and the Windows page" \
  [ "$listing" = "LICENSE README.md bin/ bin/velorin.exe windows.md " ]
if [ "$generators" = ZIP ]; then
  finish
  echo "skipped: the installer (nsis is not installed)"
  exit 77
fi

"$here/../support/wine_prefix.sh" start "$build/wine-template" "$work/prefix"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
system_path() {
  "$wine" reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' /v PATH | tr -d '\r' |
    sed -n 's/.*REG_EXPAND_SZ *//p'
}
installed="$WINEPREFIX/drive_c/Program Files/velorin"
before=$(system_path)

"$wine" "$work"/velorin-*-win64.exe /S
check "the installer puts velorin.exe under Program Files" [ -f "$installed/bin/velorin.exe" ]
check "the installer puts it on PATH" [ "$(system_path)" = "$before;C:\\Program Files\\velorin\\bin" ]
# The fake libusb0.dll stands in for the one libusb-win32's driver installs.
dll_dir=$(printf 'Z:%s' "$fake_dll_dir" | sed 's|/|\\|g')
help=$(WINEPATH=$dll_dir "$wine" "$installed/bin/velorin.exe" /H | sed -n 2p)
check "the installed velorin.exe runs" [ "$help" = "Velorin Command Line Tool" ]

# The uninstaller runs on from a copy of itself: wait for it.
uninstalled() { [ ! -e "$installed/bin/velorin.exe" ] && [ "$(system_path)" = "$before" ]; }
"$wine" "$installed/Uninstall.exe" /S
check "the uninstaller removes velorin.exe and takes it off PATH" wait_for 30 uninstalled
finish
