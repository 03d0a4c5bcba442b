#!/bin/sh
# The package's postinst and postrm, run as dpkg runs them but in a private
# mount namespace: /run is a fresh tmpfs (udev running or not is whether the
# control socket exists there), /var/lib/velorin a fixture folder, and udevadm
# a stand-in that logs its arguments.
# usage: maintainer_scripts_test.sh SOURCE_DIR
source=$1
. "$(dirname "$0")/lib.sh"
scripts=$source/packaging/debian
with_fixture=$source/tests/support/with_fixture.sh

mkdir -p "$work/bin" "$work/record" "$work/devices"
cat >"$work/bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$UDEVADM_LOG"
exit "${UDEVADM_STATUS:-0}"
FAKE
chmod +x "$work/bin/udevadm"

# run UDEV(yes|no) UDEVADM_STATUS SCRIPT ARGS...: runs a maintainer script,
# leaves its status in $status and udevadm's calls in $work/calls.
run() {
	: >"$work/calls"
	status=0
	udev=$1 udevadm_status=$2
	shift 2
	UDEVADM_LOG=$work/calls UDEVADM_STATUS=$udevadm_status PATH=$work/bin:$PATH UDEV=$udev \
		"$with_fixture" "$work/record" "$work/devices" -- sh -c '
		mount -t tmpfs run /run
		if [ "$UDEV" = yes ]; then
			mkdir /run/udev
			perl -MSocket -e "socket(my \$s, AF_UNIX, SOCK_STREAM, 0) or die; bind(\$s, pack_sockaddr_un(\$ARGV[0])) or die" /run/udev/control
		fi
		exec "$@"' sh "$@" || status=$?
}

reload='control --reload-rules'
trigger='trigger --action=add --subsystem-match=usb --attr-match=idVendor=16c0 --attr-match=idProduct=2823'

# Each row: udev running | udevadm's status | script and arguments | udevadm calls
while IFS='|' read -r udev udevadm_status script calls; do
	# shellcheck disable=SC2086 # script and arguments split on purpose
	run "$udev" "$udevadm_status" "$scripts"/$script
	expect_status "$script (udev $udev, udevadm $udevadm_status)" 0 "$status"
	expect_file "$script (udev $udev) calls" "$work/calls" "$calls"
done <<ROWS
no|0|postinst configure|
yes|0|postinst configure|$reload\n$trigger\n
yes|1|postinst configure|$reload\n$trigger\n
yes|0|postinst abort-upgrade|
no|0|postrm remove|
yes|0|postrm remove|$reload\n
yes|1|postrm purge|$reload\n
ROWS

# Purging keeps the record unless VELORIN_PURGE_RECORD=yes.
# Each row: environment | postrm argument | record left (yes|no)
while IFS='|' read -r env action kept; do
	printf 'AB12CD34\n' >"$work/record/installed"
	# shellcheck disable=SC2086 # the environment is split on purpose
	env $env "$with_fixture" "$work/record" "$work/devices" -- "$scripts/postrm" "$action"
	expect_status "postrm $action with [$env]" 0 $?
	if [ "$kept" = yes ]; then
		expect_file "postrm $action with [$env] keeps the record" "$work/record/installed" 'AB12CD34\n'
	else
		check "postrm $action with [$env] removes the record" [ ! -e "$work/record/installed" ]
	fi
done <<'ROWS'
VELORIN_PURGE_RECORD=|purge|yes
VELORIN_PURGE_RECORD=no|purge|yes
VELORIN_PURGE_RECORD=yes|remove|yes
VELORIN_PURGE_RECORD=yes|purge|no
ROWS

finish
