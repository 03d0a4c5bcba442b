#!/bin/sh
# The record helper against fixture sysfs device folders and temporary record
# files (the record file is passed as the helper's second argument).
# Runs in a private mount namespace (as a user: in a user namespace of its
# own, where the folders it makes count as root's) so that it can mount the
# small and read-only file systems below; nothing leaks out.
# usage: recorder_test.sh PATH_TO_velorin-record
if [ "${RECORDER_TEST_INSIDE:-}" != 1 ]; then
	export RECORDER_TEST_INSIDE=1
	[ "$(id -u)" = 0 ] || exec unshare --map-root-user --mount --propagation private sh "$0" "$@"
	exec unshare --mount --propagation private sh "$0" "$@"
fi
helper=$1
# shellcheck source-path=SCRIPTDIR
. "$(dirname "$0")/lib.sh"
cd "$work" || exit 1

# device NAME SERIAL_BYTES [VENDOR]: a sysfs-like device folder whose serial
# file holds SERIAL_BYTES (printf %b escapes) followed by the newline sysfs
# adds. SERIAL_BYTES "-" leaves the serial file out.
device() {
	dir=$work/sys/$1
	mkdir -p "$dir"
	printf '%s\n' "${3:-16c0}" >"$dir/idVendor"
	printf '2823\n' >"$dir/idProduct"
	rm -f "$dir/serial"
	[ "$2" = "-" ] || printf '%b\n' "$2" >"$dir/serial"
	echo "$dir"
}

# plug DEVICE_DIR RECORD: runs the helper, leaves its exit status in $status.
plug() {
	status=0
	"$helper" "$1" "$2" 2>"$work/stderr" || status=$?
}

# --- Accepted serial numbers: record grows by whole lines, once each --------
record=$work/new/sub/installed
plug "$(device a AB12CD34)" "$record"
expect_status "first plug" 0 "$status"
expect_file "first plug creates folders and file" "$record" 'AB12CD34\n'
check "record folder mode 755" [ "$(mode_of "$work/new/sub")" = 755 ]
check "record file mode 644" [ "$(mode_of "$record")" = 644 ]
check "lock file mode 600: no other user can open it" [ "$(mode_of "$record.lock")" = 600 ]

# Each row: serial bytes | record after plugging it, in order.
while IFS='|' read -r serial after; do
	plug "$(device row "$serial")" "$record"
	expect_status "plug $serial" 0 "$status"
	expect_file "record after plugging $serial" "$record" "$after"
done <<'ROWS'
AB12CD34|AB12CD34\n
EF56GH78|AB12CD34\nEF56GH78\n
AB12CD34|AB12CD34\nEF56GH78\n
AB12CD3|AB12CD34\nEF56GH78\nAB12CD3\n
AB12CD345|AB12CD34\nEF56GH78\nAB12CD3\nAB12CD345\n
EF56GH78|AB12CD34\nEF56GH78\nAB12CD3\nAB12CD345\n
NBSP\302\240|AB12CD34\nEF56GH78\nAB12CD3\nAB12CD345\nNBSP\302\240\n
ROWS

# Shell and format characters are data, stored as they are.
record=$work/special/installed
# shellcheck disable=SC2016 # kept from expanding on purpose
odd='%s%n$(touch x)`id`;|&*'\''"'
plug "$(device odd "$odd")" "$record"
expect_status "serial with shell and format characters" 0 "$status"
check "serial with shell and format characters stored verbatim" \
	[ "$(cat "$record")" = "$odd" ]
check "nothing ran from the serial number" [ ! -e "$work/x" ]

long126=$(printf '%0126d' 7)
record=$work/long/installed
plug "$(device long "$long126")" "$record"
expect_status "126-byte serial" 0 "$status"
expect_file "126-byte serial recorded" "$record" "$long126\n"

# Records edited by hand: a last line that lost its newline is ended, not
# joined; empty lines neither count nor hide a serial number; a line ended by
# a carriage return (an edit on another system) holds its serial number.
# Each row: record before | serial | record after.
record=$work/hand/installed
mkdir -p "$work/hand"
while IFS='|' read -r before serial after; do
	printf '%b' "$before" >"$record"
	plug "$(device hand "$serial")" "$record"
	expect_status "record [$before] plus $serial" 0 "$status"
	expect_file "record [$before] plus $serial" "$record" "$after"
done <<'ROWS'
HAND0001|NEW00001|HAND0001\nNEW00001\n
\nAB12CD34\n\n|AB12CD34|\nAB12CD34\n\n
AB12CD34\r\n|AB12CD34|AB12CD34\r\n
X\nAB12CD34\r|AB12CD34|X\nAB12CD34\r
OLD00001\r|AB12CD34|OLD00001\r\nAB12CD34\n
ROWS

# --- Rejected serial numbers: non-zero, nothing written --------------------
# The rule itself has its own table in the unit tests; these rows are about
# how the helper reads the attribute and what it does with a refusal.
# Each row: expected status | serial file bytes ("-": no serial file) | vendor
record=$work/rejected/installed
mkdir -p "$work/rejected"
printf 'SEED0001\n' >"$record"
while IFS='|' read -r want serial vendor; do
	dev=$(device rejected "$serial" "$vendor")
	plug "$dev" "$record"
	expect_status "reject [$serial]" "$want" "$status"
	expect_file "reject [$serial] leaves record alone" "$record" 'SEED0001\n'
	plug "$dev" "$work/untouched/installed"
	check "reject [$serial] creates nothing" [ ! -e "$work/untouched" ]
	check "reject [$serial] explains on stderr" [ -s "$work/stderr" ]
done <<ROWS
2||16c0
2|AAAA0001\nBBBB0002|16c0
2|AAAA0001\n|16c0
2|AAAA\033[31m|16c0
2|$(printf '%0127d' 7)|16c0
1|-|16c0
1|AB12CD34|1234
ROWS

# An empty serial file (not even the newline) is rejected as well.
dev=$(device empty x)
printf '' >"$dev/serial"
plug "$dev" "$record"
expect_status "empty serial file" 2 "$status"
expect_file "empty serial file leaves record alone" "$record" 'SEED0001\n'

# The serial number never appears in the helper's messages.
device evil 'EVIL\033]0;pwned\007' >/dev/null
plug "$work/sys/evil" "$record"
# shellcheck disable=SC2016 # expanded by the inner shell
check "rejected serial not echoed" sh -c '! grep -q EVIL "$1"' sh "$work/stderr"

# --- Records that are refused: status 3 in bounded time, nothing written ---
# Only a regular file with one link, in a folder that root owns and nobody
# else may write to, reached without a symlink, is written to, and never past
# the 16 MiB the tool reads. Each row: how the folder DIR is set up | the
# record given (relative to DIR) | what the message must say ("": whatever
# applies where the test runs). The folder holds OTHER as well, which must
# stay as it is; the helpers' lock file may be made.
device refused REFUSED1 >/dev/null
while IFS='|' read -r setup given reason; do
	dir=$work/refused/$setup
	mkdir -p "$dir" && printf 'OTHER\n' >"$dir/other"
	case $setup in
	fifo) mkfifo "$dir/installed" ;;
	symlink) ln -s other "$dir/installed" ;;
	symlink-to-zero) ln -s /dev/zero "$dir/installed" ;;
	hard-link) ln "$dir/other" "$dir/installed" ;;
	symlinked-folder) ln -s . "$dir/folder" ;;
	foreign-folder)
		chown 4242 "$dir" 2>/dev/null || {
			echo "foreign-folder check skipped: no other uid in this user namespace"
			continue
		} ;;
	folder-775) chmod 775 "$dir" ;;
	folder-757) chmod 757 "$dir" ;;
	over-16-MiB) truncate -s $((16 * 1024 * 1024 + 1)) "$dir/installed" ;;
	# 8 bytes short of the bound: REFUSED1 and its newline are 9.
	nearly-16-MiB) truncate -s $((16 * 1024 * 1024 - 9)) "$dir/installed" && echo >>"$dir/installed" ;;
	record-folder) mkdir "$dir/installed" ;;
	esac
	case $given in /*) ;; *) given=$dir/$given ;; esac
	find "$dir" ! -name installed.lock -printf '%P %y %s %n\n' | sort >"$work/before"
	status=0
	timeout 5 "$helper" "$work/sys/refused" "$given" 2>"$work/stderr" || status=$?
	expect_status "refuse $setup" 3 "$status"
	find "$dir" ! -name installed.lock -printf '%P %y %s %n\n' | sort >"$work/after"
	check "refuse $setup: nothing written or made" cmp -s "$work/before" "$work/after"
	expect_file "refuse $setup: OTHER untouched" "$dir/other" 'OTHER\n'
	check "refuse $setup: says [$reason]: $(cat "$work/stderr")" grep -q -- "$reason" "$work/stderr"
done <<'ROWS'
fifo|installed|not a regular file
symlink|installed|symlink
symlink-to-zero|installed|symlink
dev-zero|/dev/zero|
dev-full|/dev/full|
hard-link|installed|other links
symlinked-folder|folder/other|symlink
foreign-folder|installed|not owned by root
folder-775|installed|writable by group or others
folder-757|installed|writable by group or others
over-16-MiB|installed|larger than 16 MiB
nearly-16-MiB|installed|past 16 MiB
record-folder|installed|is a folder
folder-a-file|other/installed|Not a directory
ROWS

# --- Helpers take turns by a lock file of their own ------------------------
# Each row: who holds which lock | helper's status | record after.
# - rename, delete: a hand edit (sed -i, most editors) renames a new file over
#   the record, or removes it, while the helper waits for its lock; the line
#   goes to the file at the path;
# - past-bound: the lock is held past the helper's wait (5 s): nothing written;
# - user-locks: shared locks on what any user can open (the record, its
#   folder) do not hold the helper up.
device swap SWAP0001 >/dev/null
while IFS='|' read -r case want after; do
	dir=$work/lock-$case
	mkdir -p "$dir" && printf 'OLD00001\n' >"$dir/installed"
	(umask 077 && : >"$dir/installed.lock")
	rm -f "$work/held" "$work/go"
	set -- flock "$dir/installed.lock"
	limit=
	[ "$case" = user-locks ] && set -- flock -s "$dir/installed" flock -s "$dir" && limit="timeout 20"
	# shellcheck disable=SC2016 # expanded by the inner shell
	"$@" sh -c 'touch "$1"; while [ ! -e "$2" ]; do sleep 0.05; done' sh "$work/held" "$work/go" &
	holder=$!
	wait_for 5 test -e "$work/held"
	$limit "$helper" "$work/sys/swap" "$dir/installed" 2>"$work/stderr" &
	waiting=$!
	case $case in
	rename | delete)
		# shellcheck disable=SC2016 # expanded by the inner shell
		check "helper waits for its lock ($case)" \
			wait_for 5 sh -c 'ls -l "/proc/$1/fd" 2>/dev/null | grep -q "installed.lock$"' sh "$waiting"
		;;
	esac
	case $case in
	rename) printf 'HAND0001\n' >"$dir/new" && mv "$dir/new" "$dir/installed" && touch "$work/go" ;;
	delete) rm "$dir/installed" && touch "$work/go" ;;
	esac
	status=0
	wait "$waiting" || status=$?
	touch "$work/go"
	wait "$holder"
	expect_status "lock: $case" "$want" "$status"
	expect_file "lock: $case: record after" "$dir/installed" "$after"
done <<'ROWS'
rename|0|HAND0001\nSWAP0001\n
delete|0|SWAP0001\n
past-bound|3|OLD00001\n
user-locks|0|OLD00001\nSWAP0001\n
ROWS

# --- A full file system: a failed append leaves the record as it was --------
# A 4 KiB tmpfs, the record filled to a few bytes short of it: the first bytes
# of the line fit, the rest does not. Each row: printf format of the record.
mkdir "$work/full"
mount -t tmpfs -o size=4k,mode=755 velorin-test "$work/full"
device full FULL0001 >/dev/null
while read -r format; do
	# shellcheck disable=SC2059 # the format comes from the table
	printf "$format" 0 >"$work/full/installed"
	cp "$work/full/installed" "$work/full-before"
	plug "$work/sys/full" "$work/full/installed"
	expect_status "full disk [$format]" 3 "$status"
	check "full disk [$format]: record as before" cmp -s "$work/full-before" "$work/full/installed"
done <<'ROWS'
%04089d\n
%04095d
ROWS
umount "$work/full"

# --- A read-only file system: already recorded counts as recorded -----------
# Each row: record ("-": none) | serial | status.
mkdir -p "$work/ro-source" "$work/ro"
mount --bind "$work/ro-source" "$work/ro"
mount -o remount,bind,ro "$work/ro"
while IFS='|' read -r content serial want; do
	rm -f "$work/ro-source/installed"
	[ "$content" = - ] || printf '%b' "$content" >"$work/ro-source/installed"
	plug "$(device ro "$serial")" "$work/ro/installed"
	expect_status "read-only [$content] plus $serial" "$want" "$status"
	if [ "$content" = - ]; then
		check "read-only: no record made" [ ! -e "$work/ro-source/installed" ]
	else
		expect_file "read-only [$content] plus $serial: record as before" "$work/ro-source/installed" "$content"
	fi
done <<'ROWS'
AB12CD34\n|AB12CD34|0
X\nAB12CD34\r\n|AB12CD34|0
AB12CD34\n|EF56GH78|3
-|AB12CD34|3
ROWS
umount "$work/ro"

# Bad invocations.
for args in "" "$work/sys/a $record extra"; do
	status=0
	# shellcheck disable=SC2086 # the argument list is split on purpose
	"$helper" $args 2>/dev/null || status=$?
	expect_status "usage [$args]" 1 "$status"
done

# --- 20 switches plugged at once --------------------------------------------
record=$work/burst/installed
pids=
i=10
while [ $i -lt 30 ]; do
	device "burst$i" "BURST0$i" >/dev/null
	i=$((i + 1))
done
i=10
while [ $i -lt 30 ]; do
	"$helper" "$work/sys/burst$i" "$record" &
	pids="$pids $!"
	i=$((i + 1))
done
bad=0
for pid in $pids; do wait "$pid" || bad=$((bad + 1)); done
expect_status "20 concurrent helpers all succeed" 0 "$bad"
check "20 concurrent helpers: 20 lines" [ "$(wc -l <"$record")" -eq 20 ]
check "20 concurrent helpers: each serial once, whole lines" \
	[ "$(sort -u "$record" | grep -c '^BURST0[1-2][0-9]$')" -eq 20 ]
check "20 concurrent helpers: file ends with a newline" \
	[ "$(tail -c 1 "$record" | od -An -c | tr -d ' ')" = '\n' ]

# The same switch reported 20 times at once is still recorded once.
record=$work/same/installed
pids=
for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
	"$helper" "$work/sys/burst10" "$record" &
	pids="$pids $!"
done
for pid in $pids; do wait "$pid"; done
expect_file "same serial 20 times at once recorded once" "$record" 'BURST010\n'

finish
