#!/bin/sh
# The Debian package from CPack: its file list, modes, dependencies,
# changelog and maintainer scripts, and what lintian says of it.
# usage: deb_test.sh CPACK BUILD_DIR UDEVDIR
cpack=$1 build=$2 udevdir=$3 completionsdir=$4
. "$(dirname "$0")/lib.sh"

"$cpack" --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/log" 2>&1
expect_status "cpack" 0 $?
set -- "$work"/pkg/velorin_*.deb
# An unmatched pattern stays one word: the file must exist as well.
one_package() { [ $# -eq 1 ] && [ -f "$1" ]; }
check "one package built" one_package "$@"
deb=$1

case $udevdir in
/*) rules=.$udevdir/rules.d ;;
*) rules=./usr/$udevdir/rules.d ;;
esac
case $completionsdir in
/*) completions=.$completionsdir ;;
*) completions=./usr/$completionsdir ;;
esac

# Each row: mode and owner as dpkg-deb lists them | path.
expected="-rwxr-xr-x root/root|./usr/bin/velorin
-rwxr-xr-x root/root|./usr/libexec/velorin-record
-rw-r--r-- root/root|./usr/share/man/man1/velorin.1.gz
-rw-r--r-- root/root|./usr/share/doc/velorin/copyright
-rw-r--r-- root/root|./usr/share/doc/velorin/changelog.Debian.gz
-rw-r--r-- root/root|./usr/share/lintian/overrides/velorin
-rw-r--r-- root/root|$rules/60-velorin.rules
-rw-r--r-- root/root|$completions/velorin"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1 " " $2 "|" $6 }' | sort >"$work/files"
printf '%s\n' "$expected" | sort >"$work/want"
if cmp -s "$work/want" "$work/files"; then
	pass
else
	fail "package holds exactly the installed files"
	diff "$work/want" "$work/files"
fi
check "package folders are root's and 755" \
	[ -z "$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')" ]

# Control fields.
check "package name" [ "$(dpkg-deb -f "$deb" Package)" = velorin ]
dpkg-deb -f "$deb" Depends | tr , '\n' >"$work/depends"
check "depends on the libusb 0.1 runtime" grep -q '^ *libusb-0\.1-4\( (.*)\)\? *$' "$work/depends"
check "maintainer set" [ -n "$(dpkg-deb -f "$deb" Maintainer)" ]

# Maintainer scripts, executable.
dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$work/control"
for script in postinst postrm; do
	check "$script is in the package, mode 755" \
		grep -q "^-rwxr-xr-x .* \./$script$" "$work/control"
done

# Unpacked, the rule runs the helper the package installs.
dpkg-deb -x "$deb" "$work/root"
helper=$(sed -n 's/.*RUN+="\([^ "]*\) %S%p".*/\1/p' "$work/root/$rules/60-velorin.rules")
check "rule runs /usr/libexec/velorin-record" [ "$helper" = /usr/libexec/velorin-record ]
check "packaged helper is there" [ -x "$work/root$helper" ]

# The changelog's latest entry is this very version.
logged=$(gzip -dc "$work/root/usr/share/doc/velorin/changelog.Debian.gz" | sed -n '1s/^velorin (\([^)]*\)).*/\1/p')
check "changelog's first entry is version $(dpkg-deb -f "$deb" Version) (got '$logged')" \
	[ "$logged" = "$(dpkg-deb -f "$deb" Version)" ]

# lintian with its default settings: no error and no warning.
if command -v lintian >/dev/null 2>&1; then
	lintian --fail-on error,warning "$deb" >"$work/lintian" 2>"$work/lintian.err"
	expect_status "lintian" 0 $?
	check "lintian: no E: or W: line" not grep -Eq '^[EW]: ' "$work/lintian"
	grep -E '^[EW]: ' "$work/lintian"
	grep -v 'not recommended' "$work/lintian.err"
else
	fail "lintian is not installed (apt-get install lintian)"
fi

# Installed with dpkg into a throwaway overlay of this system (root only; in
# a private mount namespace, so the system itself is untouched): the package
# installs where udev is not running, the installed helper records a switch,
# removing the package keeps the record and purging it deletes the record's
# folder.
if [ "$(id -u)" != 0 ]; then
	echo "dpkg install checks skipped: not root"
else
	mkdir -p "$work/ov/upper" "$work/ov/work" "$work/ov/root"
	cp "$deb" "$work/ov/velorin.deb"
	# shellcheck disable=SC2016 # the script's $1 is the overlay, given after it
	unshare --mount --propagation private sh -c '
		ov=$1
		mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/root"
		mount -t tmpfs run "$ov/root/run"
		mount -t proc proc "$ov/root/proc"
		mkdir -p "$ov/root/tmp/dev" "$ov/root/tmp/pkg"
		cp "$ov/velorin.deb" "$ov/root/tmp/pkg/"
		printf "16c0\n" >"$ov/root/tmp/dev/idVendor"
		printf "2823\n" >"$ov/root/tmp/dev/idProduct"
		printf "AB12CD34\n" >"$ov/root/tmp/dev/serial"
		exec chroot "$ov/root" sh -c "
			dpkg --no-triggers -i /tmp/pkg/velorin.deb >/dev/null 2>&1 || echo FAIL: dpkg -i
			/usr/libexec/velorin-record /tmp/dev || echo FAIL: installed helper
			[ \"\$(velorin /L)\" = \"\$(printf \"\\nInstalled switches:\\nAB12CD34\")\" ] ||
				echo FAIL: installed tool lists the recorded switch
			dpkg --no-triggers --remove velorin >/dev/null 2>&1 || echo FAIL: dpkg --remove
			[ ! -e /usr/bin/velorin ] || echo FAIL: remove removes the tool
			[ -f /var/lib/velorin/installed ] || echo FAIL: remove keeps the record
			dpkg --no-triggers -i /tmp/pkg/velorin.deb >/dev/null 2>&1 || echo FAIL: dpkg -i again
			[ \"\$(velorin /L)\" = \"\$(printf \"\\nInstalled switches:\\nAB12CD34\")\" ] ||
				echo FAIL: reinstalled tool lists the kept record
			dpkg --no-triggers --purge velorin >/dev/null 2>&1 || echo FAIL: dpkg --purge
			[ ! -e /usr/bin/velorin ] || echo FAIL: purge removes the tool
			[ ! -e /var/lib/velorin ] || echo FAIL: purge removes /var/lib/velorin
			dpkg -s velorin >/dev/null 2>&1 && echo FAIL: purge leaves no trace in dpkg
			echo done
		"' sh "$work/ov" >"$work/dpkg.log" 2>&1
	check "dpkg install, record, remove, purge in an overlay" grep -qx 'done' "$work/dpkg.log"
	check "dpkg install, record, remove, purge: no failure" not grep -q FAIL "$work/dpkg.log"
	grep FAIL "$work/dpkg.log"
fi

finish
