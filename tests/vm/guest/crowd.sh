# shellcheck shell=dash
# A crowded machine under real udev with the installed rule (see vm_crowd in
# tests/vm/CMakeLists.txt): two switches, three other USB devices (gadgets
# with other ids) and vhci-hcd's 16 root hubs. Every device that is not a
# switch (nor a hub a switch hangs from) may suspend after 2 s idle; a command
# that opens one wakes it, and it then reads "active" for 2 s. Checked: a
# user's commands wake none of them and print exactly what they print on an
# empty machine; a switch whose link is missing is still found (by the full
# scan), and VELORIN_DEBUG=1 says so; a replugged switch's link follows it.

# shellcheck source=SCRIPTDIR/lib.sh
. /bench-lib.sh
users
check "udevd starts and answers" udevd_start
# Switches VSC00001 ("Lamp 1", kind 2) and VSC00002 (kind 1) on buses 1 and
# 2; three other devices on buses 3 to 5.
gadget 0 VSC00001 --kind 2 --name "Lamp 1"
gadget 1 VSC00002 --kind 1
plug 0 && plug 1
check "three other devices and vhci-hcd's root hubs" crowd_setup 2 3
check "$(crowd_sleepers | wc -l) other devices, each suspended after 2 s idle" crowd_asleep_since

link() { printf '/dev/velorin/%03d/%03d' "$1" "$(cat "/sys/bus/usb/devices/$1-1/devnum")"; }
links_to_node() { [ "$(readlink -f "$(link "$1")")" = "$(node "$1")" ]; }
for bus in 1 2; do check "the link for bus $bus leads to $(node $bus)" links_to_node $bus; done
check "the other devices have no link" [ "$(find /dev/velorin -type l | wc -l)" = 2 ]

# expect_asleep NAME STATUS TEXT ARGS...: expect, and no sleeper woke.
expect_asleep() {
  crowd_asleep_since
  expect "$@"
  n=$(crowd_woken)
  check "$1: no other device woken ($n woken)" [ "$n" = 0 ]
}
AS=alice
expect_asleep "plugdev: switch on" 0 "Lamp 1 turned on\\n" /N=VSC00001 /S=on
check "plugdev: the switch is on" [ "$(state 0)" = on ]
expect_asleep "plugdev: query" 0 "Switch with serial number VSC00002 is turned off\\n" /N=VSC00002
expect_asleep "plugdev: /A" 0 "\\nAvailable switches:\\n[VSC00001]: Lamp 1\\n[VSC00002]: \\n\\n" /A
# What VELORIN_DEBUG=1 says of the scan: libusb-compat scans no folder.
compat_scan='velorin: scanning sysfs: libusb-compat (over libusb-1.0) lists the devices there and opens only the switches'
export VELORIN_DEBUG=1
run /N=VSC00001
if usb_compat; then said=$compat_scan; else said='velorin: scanning /dev/velorin: each attached switch has its link there'; fi
check "VELORIN_DEBUG=1 says the short scan was used" grep -qx "$said" /tmp/err

unset VELORIN_DEBUG

# The check can see a wake: opening each other device's node wakes it.
crowd_asleep_since
for d in $(crowd_sleepers); do : <"$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$d/busnum")" "$(cat "$d/devnum")")"; done
n=$(crowd_woken)
check "opening each other device's node wakes it ($n woken)" [ "$n" = "$(crowd_sleepers | wc -l)" ]
# The full scan finds the same; Debian's libusb 0.1 opens every node on the
# way (libusb-compat lists from sysfs and opens none).
crowd_asleep_since
export USB_DEVFS_PATH=/dev/bus/usb
expect "full scan (USB_DEVFS_PATH=/dev/bus/usb): the same query" 0 "Lamp 1 is turned on\\n" /N=VSC00001
unset USB_DEVFS_PATH
echo "    the full scan woke $(crowd_woken) of $(crowd_sleepers | wc -l) other devices"

# A link missing (removed by hand, or udev not caught up): the full scan.
rm "$(link 2)"
export VELORIN_DEBUG=1
run /N=VSC00002 /S=on
unset VELORIN_DEBUG
check "a switch without its link is still found" [ "$RC" = 0 ]
check "and switched" [ "$(state 1)" = on ]
if usb_compat; then said=$compat_scan
else said="velorin: scanning /dev/bus/usb: bus 002 device $(printf %03d "$(cat /sys/bus/usb/devices/2-1/devnum)"), a switch, has no link to it in /dev/velorin"; fi
check "VELORIN_DEBUG=1 says why the full scan" grep -qx "$said" /tmp/err
AS=""

# Unplugged and plugged again: the link goes and comes back with the new number.
old=$(link 1)
unplug 0
settle
absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }  # not even a dangling link
check "unplugged: its link is gone" absent "$old"
plug 0
settle
check "plugged again: device number changed" [ "$(link 1)" != "$old" ]
check "plugged again: the link follows it" links_to_node 1
AS=alice
expect "plugdev: the replugged switch answers" 0 "Lamp 1 turned off\\n" /N=VSC00001 /S=off
AS=""

finish
