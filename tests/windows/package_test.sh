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
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
work=$(mktemp -d "${TMPDIR:-/tmp}/velorin-package-XXXXXX")
trap '"$here/../support/wine_prefix.sh" stop "$work/prefix"; rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

generators=ZIP
if command -v makensis >/dev/null; then generators="ZIP;NSIS"; fi
cpack --config "$build/CPackConfig.cmake" -G "$generators" -B "$work" >/dev/null

zip=$(ls "$work"/velorin-*-win64.zip)
listing=$(unzip -Z1 "$zip" | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
[ "$listing" = "LICENSE README.md bin/ bin/velorin.exe windows.md " ] || fail "the ZIP holds: $listing"
echo "ok: the ZIP holds velorin.exe, the README, the LICENSE and the Windows page"

if [ "$generators" = ZIP ]; then
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

"$wine" "$(ls "$work"/velorin-*-win64.exe)" /S
[ -f "$installed/bin/velorin.exe" ] || fail "the installer put no velorin.exe under Program Files"
[ "$(system_path)" = "$before;C:\\Program Files\\velorin\\bin" ] || fail "PATH after installing: $(system_path)"
# The fake libusb0.dll stands in for the one libusb-win32's driver installs.
dll_dir=$(printf 'Z:%s' "$fake_dll_dir" | sed 's|/|\\\\|g')
help=$(WINEPATH=$dll_dir "$wine" "$installed/bin/velorin.exe" /H | sed -n 2p)
[ "$help" = "Velorin Command Line Tool" ] || fail "the installed velorin.exe says: $help"
echo "ok: the installer puts velorin.exe under Program Files and on PATH"

# The uninstaller runs on from a copy of itself: wait for it (30 s at most).
"$wine" "$installed/Uninstall.exe" /S
tries=0
while { [ -e "$installed/bin/velorin.exe" ] || [ "$(system_path)" != "$before" ]; } && [ "$tries" -lt 300 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
[ ! -e "$installed/bin/velorin.exe" ] || fail "the uninstaller left velorin.exe"
[ "$(system_path)" = "$before" ] || fail "PATH after uninstalling: $(system_path)"
echo "ok: the uninstaller removes velorin.exe and takes it off PATH"
