#!/bin/sh
# The Debian packages from CPack, one per part: each one's file list, modes,
# control fields, changelog and maintainer scripts, what lintian says of
# them, and installing, removing, purging and reinstalling them with dpkg.
# usage: deb_test.sh CPACK BUILD_DIR UDEVDIR UNITDIR COMPLETIONSDIR PACKAGES
# (UDEVDIR, UNITDIR: the packages' own udev and systemd unit folders;
# PACKAGES: those the build makes)
cpack=$1 build=$2 udevdir=$3 unitdir=$4 completionsdir=$5 packages=$6
. "$(dirname "$0")/lib.sh"

"$cpack" --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/log" 2>&1
expect_status "cpack" 0 $?

# deb PACKAGE: the one file CPack made for PACKAGE (an unmatched pattern
# stays one word, so the file must exist as well).
deb() {
	set -- "$work"/pkg/"$1"_*_*.deb
	[ $# -eq 1 ] && [ -f "$1" ] && echo "$1"
}

rules=.$udevdir/rules.d
case $completionsdir in
/*) completions=.$completionsdir ;;
*) completions=./usr/$completionsdir ;;
esac
python=./usr/lib/python3/dist-packages

# files PACKAGE: each row: mode and owner as dpkg-deb lists them | path.
files() {
	echo "-rw-r--r-- root/root|./usr/share/doc/$1/copyright
-rw-r--r-- root/root|./usr/share/doc/$1/changelog.Debian.gz
-rw-r--r-- root/root|./usr/share/lintian/overrides/$1"
	case $1 in
	velorin)
		echo "-rwxr-xr-x root/root|./usr/bin/velorin
-rwxr-xr-x root/root|./usr/libexec/velorin-record
-rw-r--r-- root/root|./usr/share/man/man1/velorin.1.gz
-rw-r--r-- root/root|./usr/share/doc/velorin/usbip.md
-rw-r--r-- root/root|$rules/60-velorin.rules
-rw-r--r-- root/root|$completions/velorin"
		;;
	velorin-lab)
		echo "-rw-r--r-- root/root|$python/velorin_labgrid.py
-rw-r--r-- root/root|$python/velorin_pdudaemon.py
-rw-r--r-- root/root|$python/velorin_tool.py
-rw-r--r-- root/root|./usr/share/doc/velorin-lab/lab.md
-rw-r--r-- root/root|$python/velorin_lab-1.0.0.dist-info/METADATA
-rw-r--r-- root/root|$python/velorin_lab-1.0.0.dist-info/entry_points.txt"
		;;
	velorin-mqtt)
		echo "-rwxr-xr-x root/root|./usr/bin/velorin-mqtt
-rw-r--r-- root/root|./usr/share/man/man8/velorin-mqtt.8.gz
-rw-r--r-- root/root|./usr/share/doc/velorin-mqtt/mqtt.md
-rw-r--r-- root/root|.$unitdir/velorin-mqtt.service
-rw-r--r-- root/root|./etc/velorin/mqtt.conf"
		;;
	esac
}
# folders PACKAGE: the folders whose mode is not 755 (mode | path).
folders() {
	case $1 in
	velorin-mqtt) echo "drwx------|./etc/velorin/credentials/" ;;
	esac
}

# Each row: package | control field | extended regular expression its value
# matches. Maintainer scripts: the control archive's executable files.
control_rows="velorin|Depends|(^|, )libusb-0\.1-4( \([^)]*\))?(,|$)
velorin|Recommends|^bash-completion$
velorin|Architecture|^[a-z0-9-]+$
velorin|scripts|^postinst postrm$
velorin-lab|Depends|^python3, velorin$
velorin-lab|Suggests|^python3-labgrid, pdudaemon$
velorin-lab|Architecture|^all$
velorin-lab|scripts|^postinst prerm$
velorin-mqtt|Depends|(^|, )libmosquitto1( \([^)]*\))?(,|$)
velorin-mqtt|Depends|(^|, )libusb-0\.1-4( \([^)]*\))?(,|$)
velorin-mqtt|Depends|(^|, )velorin(,|$)
velorin-mqtt|Architecture|^[a-z0-9-]+$
velorin-mqtt|scripts|^postrm prerm$
velorin-mqtt|conffiles|^/etc/velorin/mqtt\.conf$"

built=""
for package in $packages; do
	file=$(deb "$package")
	check "$package: one package built" [ -n "$file" ]
	[ -n "$file" ] || continue
	built="$built $file"

	dpkg-deb -c "$file" | awk '$1 !~ /^d/ { print $1 " " $2 "|" $6 }' | sort >"$work/files"
	files "$package" | sort >"$work/want"
	check "$package holds exactly its installed files" cmp -s "$work/want" "$work/files"
	diff "$work/want" "$work/files"
	dpkg-deb -c "$file" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { print $1 "|" $6 }' >"$work/folders"
	folders "$package" >"$work/want"
	check "$package: folders are root's and 755 (but $(folders "$package"))" cmp -s "$work/want" "$work/folders"

	check "$package: package name" [ "$(dpkg-deb -f "$file" Package)" = "$package" ]
	check "$package: maintainer set" [ -n "$(dpkg-deb -f "$file" Maintainer)" ]
	check "$package: description has its own summary" \
		[ "$(dpkg-deb -f "$file" Description | grep -Fc "$(dpkg-deb -f "$file" Description | head -1)")" = 1 ]
	dpkg-deb --ctrl-tarfile "$file" | tar -tvf - >"$work/control"
	check "$package: every control file is root's" not grep -qv ' root/root ' "$work/control"
	printf '%s\n' "$control_rows" | while IFS='|' read -r name field pattern; do
		[ "$name" = "$package" ] || continue
		if [ "$field" = scripts ]; then
			got=$(sed -n 's|^-rwxr-xr-x .* \./\([a-z]*\)$|\1|p' "$work/control" | sort | tr '\n' ' ')
			got=${got% }
		elif [ "$field" = conffiles ]; then
			got=$(dpkg-deb --ctrl-tarfile "$file" | tar -xOf - ./conffiles 2>/dev/null)
		else
			got=$(dpkg-deb -f "$file" "$field")
		fi
		printf '%s\n' "$got" | grep -Eq "$pattern" || echo "FAIL: $package: $field is '$got'"
	done >"$work/fields"
	check "$package: control fields and maintainer scripts" [ ! -s "$work/fields" ]
	cat "$work/fields"

	# The changelog's latest entry is this very version.
	rm -rf "$work/root"
	dpkg-deb -x "$file" "$work/root"
	logged=$(gzip -dc "$work/root/usr/share/doc/$package/changelog.Debian.gz" | sed -n '1s/^velorin (\([^)]*\)).*/\1/p')
	check "$package: changelog's first entry is version $(dpkg-deb -f "$file" Version) (got '$logged')" \
		[ "$logged" = "$(dpkg-deb -f "$file" Version)" ]

	if [ "$package" = velorin ]; then
		# Unpacked, the rule runs the helper the package installs.
		helper=$(sed -n 's/.*RUN+="\([^ "]*\) %S%p".*/\1/p' "$work/root/$rules/60-velorin.rules")
		check "rule runs /usr/libexec/velorin-record" [ "$helper" = /usr/libexec/velorin-record ]
		check "packaged helper is there" [ -x "$work/root$helper" ]
	fi
done
for package in velorin velorin-lab; do
	case " $packages " in
	*" $package "*) ;;
	*) fail "the build makes no $package package" ;;
	esac
done

# lintian with its default settings: no error and no warning.
if command -v lintian >/dev/null 2>&1; then
	# shellcheck disable=SC2086 # one word per package file
	lintian --fail-on error,warning $built >"$work/lintian" 2>"$work/lintian.err"
	expect_status "lintian" 0 $?
	check "lintian: no E: or W: line" not grep -Eq '^[EW]: ' "$work/lintian"
	grep -E '^[EW]: ' "$work/lintian"
	grep -v 'not recommended' "$work/lintian.err"
else
	fail "lintian is not installed (apt-get install lintian)"
fi

# Installed with dpkg into a throwaway overlay of this system (root only; in
# a private mount namespace, so the system itself is untouched): the packages
# install where udev is not running, the installed helper records a switch,
# Python finds the lab modules' metadata (pdudaemon finds its driver by it),
# removing a package leaves none of its files (nor the modules' byte code)
# but keeps the record, and purging deletes the record's folder.
if [ "$(id -u)" != 0 ]; then
	echo "dpkg install checks skipped: not root"
else
	mkdir -p "$work/ov/upper" "$work/ov/work" "$work/ov/root" "$work/ov/pkg"
	cp "$(deb velorin)" "$work/ov/pkg/velorin.deb"
	cp "$(deb velorin-lab)" "$work/ov/pkg/velorin-lab.deb"
	case " $packages " in *" velorin-mqtt "*) cp "$(deb velorin-mqtt)" "$work/ov/pkg/velorin-mqtt.deb" ;; esac
	cat >"$work/ov/pkg/driver.py" <<'PY'
import importlib.metadata as m
print(m.version("velorin-lab"), *[e.value for e in m.entry_points(group="pdudaemon.driver") if e.name == "velorin"])
PY
	# shellcheck disable=SC2016 # the script's $1 is the overlay, given after it
	unshare --mount --propagation private sh -c '
		ov=$1
		mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/root"
		mount -t tmpfs run "$ov/root/run"
		mount -t proc proc "$ov/root/proc"
		mkdir -p "$ov/root/tmp/dev" "$ov/root/tmp/pkg"
		cp "$ov"/pkg/* "$ov/root/tmp/pkg/"
		printf "16c0\n" >"$ov/root/tmp/dev/idVendor"
		printf "2823\n" >"$ov/root/tmp/dev/idProduct"
		printf "AB12CD34\n" >"$ov/root/tmp/dev/serial"
		exec chroot "$ov/root" sh -c "
			# quiet COMMAND...: runs COMMAND, and shows its output only if it fails.
			quiet() { \"\$@\" >/tmp/out 2>&1 || { cat /tmp/out; return 1; }; }
			listed() { [ \"\$(velorin /L)\" = \"\$(printf \"\\nInstalled switches:\\nAB12CD34\")\" ]; }
			driver() { /usr/bin/python3 /tmp/pkg/driver.py; }
			lab_left() { find /usr/lib/python3/dist-packages -name \"velorin*\" | grep -q .; }
			quiet dpkg --no-triggers -i /tmp/pkg/velorin.deb || echo FAIL: dpkg -i velorin
			/usr/libexec/velorin-record /tmp/dev || echo FAIL: installed helper
			listed || echo FAIL: installed tool lists the recorded switch
			quiet dpkg --no-triggers -i /tmp/pkg/velorin-lab.deb || echo FAIL: dpkg -i velorin-lab
			[ \"\$(driver)\" = \"1.0.0 velorin_pdudaemon:VelorinDriver\" ] ||
				echo FAIL: Python finds the lab metadata: \$(driver)
			find /usr/lib/python3/dist-packages/__pycache__ -name \"velorin_labgrid.*.pyc\" | grep -q . ||
				echo FAIL: the lab modules are byte-compiled on install
			quiet dpkg --no-triggers --remove velorin-lab || echo FAIL: dpkg --remove velorin-lab
			lab_left && echo FAIL: remove leaves lab files: \$(find /usr/lib/python3/dist-packages -name \"velorin*\")
			quiet dpkg --no-triggers --remove velorin || echo FAIL: dpkg --remove velorin
			[ ! -e /usr/bin/velorin ] || echo FAIL: remove removes the tool
			[ -f /var/lib/velorin/installed ] || echo FAIL: remove keeps the record
			quiet dpkg --no-triggers -i /tmp/pkg/velorin.deb /tmp/pkg/velorin-lab.deb ||
				echo FAIL: dpkg -i both again
			listed || echo FAIL: reinstalled tool lists the kept record
			[ \"\$(driver)\" = \"1.0.0 velorin_pdudaemon:VelorinDriver\" ] ||
				echo FAIL: reinstalled lab metadata: \$(driver)
			quiet dpkg --no-triggers --purge velorin-lab velorin || echo FAIL: dpkg --purge
			[ ! -e /usr/bin/velorin ] || echo FAIL: purge removes the tool
			[ ! -e /var/lib/velorin ] || echo FAIL: purge removes /var/lib/velorin
			lab_left && echo FAIL: purge leaves lab files
			dpkg -s velorin >/dev/null 2>&1 && echo FAIL: purge leaves no trace of velorin in dpkg
			dpkg -s velorin-lab >/dev/null 2>&1 && echo FAIL: purge leaves no trace of velorin-lab in dpkg
			if [ -f /tmp/pkg/velorin-mqtt.deb ]; then
				# The bridge: its configuration a conffile, the password the
				# administrator puts beside it kept with its mode.
				modes() { stat -c %a /etc/velorin/credentials /etc/velorin/credentials/password; }
				quiet dpkg --no-triggers -i /tmp/pkg/velorin.deb /tmp/pkg/velorin-mqtt.deb || echo FAIL: dpkg -i velorin-mqtt
				[ -x /usr/bin/velorin-mqtt ] || echo FAIL: velorin-mqtt installed
				/usr/bin/velorin-mqtt --check >/dev/null 2>&1 || echo FAIL: the installed configuration passes --check
				[ \"\$(stat -c %a /etc/velorin/credentials)\" = 700 ] || echo FAIL: the credentials folder is mode 700
				(umask 077 && echo secret >/etc/velorin/credentials/password)
				echo \"#host = broker.lan\" >>/etc/velorin/mqtt.conf
				quiet dpkg --no-triggers --remove velorin-mqtt || echo FAIL: dpkg --remove velorin-mqtt
				[ ! -e /usr/bin/velorin-mqtt ] || echo FAIL: remove removes the bridge
				[ \"\$(modes)\" = \"\$(printf \"700\\n600\")\" ] || echo FAIL: remove keeps the password, modes: \$(modes)
				quiet dpkg --no-triggers -i /tmp/pkg/velorin-mqtt.deb || echo FAIL: dpkg -i velorin-mqtt again
				grep -qx \"#host = broker.lan\" /etc/velorin/mqtt.conf || echo FAIL: reinstall keeps the changed configuration
				[ \"\$(modes)\" = \"\$(printf \"700\\n600\")\" ] || echo FAIL: reinstall keeps the modes: \$(modes)
				quiet dpkg --no-triggers --purge velorin-mqtt velorin || echo FAIL: dpkg --purge velorin-mqtt
				[ ! -e /etc/velorin ] || echo FAIL: purge removes /etc/velorin: \$(find /etc/velorin)
				dpkg -s velorin-mqtt >/dev/null 2>&1 && echo FAIL: purge leaves no trace of velorin-mqtt in dpkg
			fi
			echo done
		"' sh "$work/ov" >"$work/dpkg.log" 2>&1
	check "dpkg install, record, remove, purge in an overlay" grep -qx 'done' "$work/dpkg.log"
	check "dpkg install, record, remove, purge: no failure" not grep -q FAIL "$work/dpkg.log"
	if grep -q FAIL "$work/dpkg.log"; then cat "$work/dpkg.log"; fi
fi

finish
