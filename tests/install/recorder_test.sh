#!/bin/sh
# The record helper against fixture sysfs device folders and temporary record
# files (the record file is passed as the helper's second argument).
# usage: recorder_test.sh PATH_TO_velorin-record
helper=$1
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
ROWS

# Shell and format characters are data, stored as they are.
record=$work/special/installed
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

# A last line that lost its newline (edited by hand) is ended, not joined.
record=$work/hand/installed
mkdir -p "$work/hand" && printf 'HAND0001' >"$record"
plug "$(device hand NEW00001)" "$record"
expect_file "unterminated last line kept apart" "$record" 'HAND0001\nNEW00001\n'

# Empty lines in the record do not count as a serial number, nor hide one.
record=$work/blank/installed
mkdir -p "$work/blank" && printf '\nAB12CD34\n\n' >"$record"
plug "$(device blank AB12CD34)" "$record"
expect_file "serial after empty lines found" "$record" '\nAB12CD34\n\n'

# --- Rejected serial numbers: non-zero, nothing written --------------------
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
2|AAAA\r0001|16c0
2|AAAA\0BBB|16c0
2|\0|16c0
2|AAAA\tBBB|16c0
2|AAAA\033[31m|16c0
2|AAAA\177|16c0
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
check "rejected serial not echoed" sh -c '! grep -q EVIL "$1"' sh "$work/stderr"

# A symlinked record file is not followed.
printf 'OTHER\n' >"$work/target"
ln -s "$work/target" "$work/link"
plug "$(device link LINK0001)" "$work/link"
check "symlinked record refused" [ "$status" -ne 0 ]
expect_file "symlink target untouched" "$work/target" 'OTHER\n'

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
