#!/bin/sh
# The helper and the tool agree: what the helper records at its built-in
# place, `velorin /L` lists from there. Both run with /var/lib/velorin and
# /sys/bus/usb/devices replaced by fixture folders (with_fixture.sh).
# usage: agreement_test.sh VELORIN VELORIN_RECORD WITH_FIXTURE
velorin=$1 helper=$2 with_fixture=$3
. "$(dirname "$0")/lib.sh"

record=$work/record
devices=$work/devices
mkdir -p "$record" "$devices"

# plug NAME SERIAL_BYTES: attaches a fixture switch and runs the helper on it
# as udev would, with the built-in record file; leaves its status in $status.
plug() {
	mkdir -p "$devices/$1"
	printf '16c0\n' >"$devices/$1/idVendor"
	printf '2823\n' >"$devices/$1/idProduct"
	printf '%b\n' "$2" >"$devices/$1/serial"
	status=0
	"$with_fixture" "$record" "$devices" -- "$helper" "/sys/bus/usb/devices/$1" 2>/dev/null || status=$?
}

# list: what `velorin /L` prints with the fixtures in place.
list() {
	"$with_fixture" "$record" "$devices" -- "$velorin" /L >"$work/out"
}

plug 1-1 AB12CD34
expect_status "helper records the first switch" 0 "$status"
expect_file "record file at the built-in place" "$record/installed" 'AB12CD34\n'
list
expect_file "/L lists the recorded, attached switch" "$work/out" '\nInstalled switches:\nAB12CD34\n\n'

# Unplugged, it stays installed; the next switch follows it.
rm -r "$devices/1-1"
plug 1-2 EF56GH78
rm -r "$devices/1-2"
list
expect_file "/L lists recorded switches in plug order" "$work/out" \
	'\nInstalled switches:\nAB12CD34\nEF56GH78\n\n'

# Plugged again: still one entry each.
plug 1-1 AB12CD34
list
expect_file "/L after replugging lists each switch once" "$work/out" \
	'\nInstalled switches:\nAB12CD34\nEF56GH78\n\n'
rm -r "$devices/1-1"

# One serial number the helper refuses is not listed by /L either, not even
# while attached: both take the rule from one place (its cases have their
# own table in the unit tests).
plug 1-3 'INJECT01\nFAKE0002'
check "helper refuses a serial number with a line break" [ "$status" -ne 0 ]
list
expect_file "/L does not list it while it is attached" "$work/out" '\nInstalled switches:\nAB12CD34\nEF56GH78\n\n'

finish
