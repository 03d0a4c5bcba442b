#!/bin/sh
# The package's postinst and postrm, run as dpkg runs them but in a private
# mount namespace: /run is a fresh tmpfs (udev running or not is whether the
# control socket exists there), so is /var/lib, and udevadm is a stand-in
# that logs its arguments.
# usage: maintainer_scripts_test.sh SOURCE_DIR
source=$1
. "$(dirname "$0")/lib.sh"
scripts=$source/packaging/debian/velorin
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
	# shellcheck disable=SC2016 # the script's variables are set for it, in the namespace
	UDEVADM_LOG=$work/calls UDEVADM_STATUS=$udevadm_status PATH=$work/bin:$PATH UDEV=$udev \
		"$with_fixture" "$work/record" "$work/devices" -- sh -c '
		mount -t tmpfs run /run
		mount -t tmpfs lib /var/lib
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

# Only purging deletes the record's folder, with whatever it holds; every
# other postrm call keeps it.
# Each row: postrm argument | what is left of /var/lib/velorin
while IFS='|' read -r action left; do
	run no 0 sh -c '
		mkdir -p /var/lib/velorin/old
		printf "AB12CD34\n" >/var/lib/velorin/installed
		"$@" || exit
		if [ -d /var/lib/velorin ]; then ls -A /var/lib/velorin; else echo gone; fi' sh "$scripts/postrm" "$action" >"$work/left"
	expect_status "postrm $action (record)" 0 "$status"
	expect_file "postrm $action: what is left in /var/lib/velorin" "$work/left" "$left"
done <<'ROWS'
remove|installed\nold\n
upgrade|installed\nold\n
abort-install|installed\nold\n
disappear|installed\nold\n
purge|gone\n
ROWS

finish
