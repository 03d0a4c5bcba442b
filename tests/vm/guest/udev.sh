# shellcheck shell=dash
# The install under real udev, run by the guest's init in place of checks.sh
# (see vm_udev in tests/vm/CMakeLists.txt): the guest holds the staged
# `cmake --install --prefix /usr`, udev's own rules and systemd's seat rules,
# as a Debian 12 machine does, and Debian's systemd-udevd. The switches are
# gadgets built by hand, so that each plug is a step of this script.

# shellcheck source=SCRIPTDIR/lib.sh
. /bench-lib.sh
users
RULE=/usr/lib/udev/rules.d/60-velorin.rules
# Switch N (1 to 5) is VSU0000N, named "Lamp N", on bus N.
for n in 1 2 3 4 5; do gadget $((n - 1)) VSU0000$n --kind 2 --name "Lamp $n"; done

# --- before udevd, and before the rule: no access until the replay -----------
mv "$RULE" /tmp/rule
plug 0
check "plugged before udevd: the node is the kernel's own (crw------- root root)" \
  [ "$(stat -c '%A %U %G' "$(node 1)")" = "crw------- root root" ]
check "udevd starts and answers" udevd_start
plug 1
settle
check "plugged before the rule: Debian's default (crw-rw-r-- root root)" \
  [ "$(stat -c '%A %U %G' "$(node 2)")" = "crw-rw-r-- root root" ]
AS=alice
expect "before the rule, a user in plugdev cannot use the first switch" 3 "$(failed VSU00001)" /N=VSU00001
expect "nor the second" 3 "$(failed VSU00002)" /N=VSU00002 /S=on
check "nothing recorded before the rule" [ ! -e "$REC" ]

mv /tmp/rule "$RULE"
replay
check "after the replay the first switch is given to plugdev and tagged uaccess" given "$(node 1)"
check "and so is the second" given "$(node 2)"
check "the replay records both, once each" recorded VSU00001 VSU00002
expect "a user in plugdev uses the first switch" 0 "Lamp 1 is turned off\\n" /N=VSU00001
expect "and the second" 0 "Lamp 2 turned on\\n" /N=VSU00002 /S=on
check "the second switch is on" [ "$(state 1)" = on ]
cp "$REC" /tmp/rec.before
replay
check "a second replay adds no line" cmp -s /tmp/rec.before "$REC"

# --- plugged with udevd and the rule in place -----------------------------------
udevadm monitor --udev --subsystem-match=usb/usb_device >/tmp/monitor &
MONITOR=$!
sleep 0.3
plug 2
settle
check "a switch plugged in is given to plugdev and tagged uaccess" given "$(node 3)"
check "and recorded once" recorded VSU00001 VSU00002 VSU00003
cp "$REC" /tmp/rec.before
unplug 2
settle
removed() { grep -q ' remove .*/usb3/3-1 (usb)' /tmp/monitor; }
check "unplugged: udev sees the remove event" wait_for 30 removed
check "unplugged: the record stays as it was" cmp -s /tmp/rec.before "$REC"
check "unplugged: udevd still answers" udevadm control --ping
plug 2
settle
check "plugged again: still one line for it" cmp -s /tmp/rec.before "$REC"
kill $MONITOR

# --- users ------------------------------------------------------------------------
expect "plugdev: switch on" 0 "Lamp 3 turned on\\n" /N=VSU00003 /S=on
check "plugdev: the switch is on" [ "$(state 2)" = on ]
expect "plugdev: query" 0 "Lamp 3 is turned on\\n" /N=VSU00003 /S=query
want="\\nAvailable switches:\\n"
while read -r serial; do want="${want}[$serial]: Lamp ${serial#VSU0000}\\n"; done <"$REC"
expect "plugdev: /A lists the recorded switches in record order" 0 "$want\\n" /A
AS=bob
expect "not in plugdev: switch off fails" 3 "$(failed VSU00003)" /N=VSU00003 /S=off
check "not in plugdev: the switch stayed on" [ "$(state 2)" = on ]
export VELORIN_DEBUG=1
run /N=VSU00003 /S=query
unset VELORIN_DEBUG
node3=$(node 3)
debug_says() { grep 'cannot be opened: Permission denied' /tmp/err | grep -qF "$node3"; }
if [ "$RC" = 3 ] && debug_says; then pass "not in plugdev, VELORIN_DEBUG=1: standard error names $node3 and the denied open"
else fail "not in plugdev, VELORIN_DEBUG=1: standard error names $node3 and the denied open" "exit status $RC" "stderr: $(head -c 600 /tmp/err)"; fi
AS=""

# --- two switches plugged at the same moment ------------------------------------
plug 3 & first=$!
plug 4 & second=$!
wait $first $second
settle
both_given() { given "$(node 4)" && given "$(node 5)"; }
check "two switches plugged at once: both given to plugdev" both_given
check "two switches plugged at once: both recorded, once each" recorded VSU00001 VSU00002 VSU00003 VSU00004 VSU00005
echo "    the record: $(tr '\n' ' ' <"$REC")"
# udevd's log: all of it after a failure, else without the rules' groups
# this guest lacks.
if [ "$FAILED" = 0 ]; then grep -v 'Unknown group\|Failed to' /tmp/udevd.log | head -n 20
else cat /tmp/udevd.log; fi | sed 's/^/    udevd: /'

finish
