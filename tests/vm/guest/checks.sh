# shellcheck shell=dash
# The bench's checks, run by the guest's init (busybox sh) against the real
# tool binary and virtual switches on dummy_hcd buses. Each check prints
# "ok - NAME" or "FAIL - NAME" with details; the last line is the count.

# shellcheck source=SCRIPTDIR/lib.sh
. /bench-lib.sh

states_are() {  # states_are S0 S1 S2: the first three switches' own states
  got="$(state 0) $(state 1) $(state 2)"
  [ "$got" = "$*" ] || { echo "    switch states: $got, wanted $*"; return 1; }
}

# --- the switches ----------------------------------------------------------
# Switch 0 is set up by hand, as a user would: configfs gadget, FunctionFS
# mount, the program, then the UDC binding.
G0=/sys/kernel/config/usb_gadget/sw0
gadget 0 VS100001 --kind 1 && echo dummy_udc.0 >$G0/UDC

# The others build their own gadgets (sim).
NAME32="Thirty-two byte name of switch 3"
sim 1 VS200002 --kind 2 --name "Desk lamp 100%" --state on
sim 2 VS300003 --kind 2 --name "$NAME32"
sim 3 VS400004 --kind 2 --name "Version two" --version 2.0
sim 4 VS500005 --kind 3 --name "Kind three"
sim 5 VS600006 --kind 2 --name "Slow to switch" --fault 1:delay=1500
sim 6 VS700007 --kind 1 --fault 1:stall

all_configured() { for b in 1 2 3 4 5 6 7; do configured $b || return 1; done; }
wait_for 30 all_configured
serials_ok=true
for n in 0 1 2 3 4 5 6; do
  bus=$((n + 1))
  got=$(cat /sys/bus/usb/devices/$bus-1/serial 2>/dev/null)
  [ "$got" = "VS$((n + 1))0000$((n + 1))" ] || { serials_ok=false; echo "    bus $bus has \"$got\""; }
done
check "seven virtual switches configured, one per bus, with their serial numbers" $serials_ok

# The record of installed switches: file order, an empty line, a duplicate,
# and a switch that is not attached.
printf 'VS300003\nVS900009\n\nVS100001\nVS300003\n' >/var/lib/velorin/installed

# --- switching: the right switch changes, the others do not ------------------
check "switch states at start: off, on, off" states_are off on off
expect "switch on by serial, kind 1" 0 'Switch with serial number VS100001 turned on\n' /N=VS100001 /S=on
check "only switch VS100001 changed (on, on, off)" states_are on on off
expect "switch off by serial, kind 2 with a name containing %" 0 'Desk lamp 100% turned off\n' /n=VS200002 /s=OFF
check "only switch VS200002 changed (on, off, off)" states_are on off off

# The wire: one switch command on a kind-2 switch, seen by usbmon.
dev=$(cat /sys/bus/usb/devices/3-1/devnum)
monitor 3
expect "switch on, kind 2 with a 32-byte name" 0 "$NAME32 turned on\\n" /N=VS300003 /S=on
stop_monitor 9
expect_wire "usbmon: string 0, string 3, SET_CONFIGURATION 1, requests 4 5 1 5 5 6, nothing else" 3 "$dev"
echo "usbmon trace of 'velorin /N=VS300003 /S=on' (bus 3, device $dev):"
sed 's/^/    /' /tmp/mon
check "only switch VS300003 changed (on, off, on)" states_are on off on

# --- queries -------------------------------------------------------------
sent0=$(setstates 0) sent1=$(setstates 1) sent2=$(setstates 2)
expect "query by serial alone, kind 1, on" 0 'Switch with serial number VS100001 is turned on\n' /N=VS100001
expect "query, kind 2, off" 0 'Desk lamp 100% is turned off\n' /N=VS200002 /S=query
expect "query, 32-byte name, on" 0 "$NAME32 is turned on\\n" /N=VS300003 /S=QUERY
check "queries send no set-state request and change nothing" \
  [ "$(setstates 0) $(setstates 1) $(setstates 2) $(state 0) $(state 1) $(state 2)" = "$sent0 $sent1 $sent2 on off on" ]

# --- lists ---------------------------------------------------------------
INSTALLED='\nInstalled switches:\nVS300003\nVS900009\nVS100001\nVS300003\nVS200002\nVS400004\nVS500005\nVS600006\nVS700007\n\n'
A3="[VS300003]: $NAME32\\n"
A1='[VS100001]: \n'
ARE="[VS200002]: Desk lamp 100%\\n[VS600006]: Slow to switch\\n[VS700007]: \\n"
expect "/L: record lines in order, then attached switches not recorded" 0 "$INSTALLED" /L
expect "/A: kind 1 and kind 2 lines; version 2.0, kind 3 and absent switches left out" 0 \
  "\\nAvailable switches:\\n$A3$A1$A3$ARE\\n" /A

# Unplug switch 0: /A leaves it out, /L still lists it from the record.
olddev=$(cat /sys/bus/usb/devices/1-1/devnum)
echo "" >$G0/UDC
check "unplugged switch VS100001 leaves the bus" wait_for 30 gone 1
expect "/A after unplug leaves VS100001 out" 0 "\\nAvailable switches:\\n$A3$A3$ARE\\n" /A
expect "/L after unplug still lists VS100001 (record)" 0 "$INSTALLED" /L
expect "switching the unplugged switch fails" 3 \
  'Changing switch with serial number VS100001 failed!\nError: Switch not installed or not available!\n\n' /N=VS100001 /S=off

# Plug it back: a new device number, and it answers again with its state.
echo dummy_udc.0 >$G0/UDC
replugged() { configured 1 && [ "$(cat /sys/bus/usb/devices/1-1/devnum)" != "$olddev" ]; }
check "replugged switch VS100001 is back under a new device number" wait_for 30 replugged
expect "replugged switch answers a query" 0 'Switch with serial number VS100001 is turned on\n' /N=VS100001
expect "/A after replug lists VS100001 again" 0 "\\nAvailable switches:\\n$A3$A1$A3$ARE\\n" /A

# --- failures --------------------------------------------------------------
expect "version 2.0 is refused" 3 "$(failed VS400004)" /N=VS400004 /S=on
expect "kind 3 is refused" 3 "$(failed VS500005)" /N=VS500005 /S=on
check "refused switches never got a set-state request" [ "$(setstates 3) $(setstates 4)" = "0 0" ]
expect "set-state answered after the timeout fails" 3 "$(failed VS600006)" /N=VS600006 /S=on
# The slow switch took the state; its late answer fails once the next request
# arrives, and it goes on answering.
expect "the slow switch answers a query afterwards" 0 'Slow to switch is turned on\n' /N=VS600006
check "the slow switch's late answer to set-state was refused" \
  logged 5 ' c0 01 0001 0000 0008 reply 8 after 1500 ms failed'
grep ' c0 01 ' "$SW/5.log" | sed 's/^/    /'
expect "stalled set-state fails" 3 "$(failed VS700007)" /N=VS700007 /S=on
check "the stalling switch stayed off" [ "$(state 6)" = off ]
expect "unknown serial fails" 3 "$(failed VS999999)" /N=VS999999 /S=on
expect "query of a recorded but absent switch fails with the same line" 3 "$(failed VS900009)" /N=VS900009

# --- sharing: 20 commands at once on one switch ---------------------------
before=$(setstates 1)
burst par 20 "VS200002=Desk lamp 100%"
judge par 20 "20 concurrent switch commands on one switch"
twenty() { [ $(($(setstates 1) - before)) = 20 ] && final_states 1; }
check "the switch got 20 set-state requests and holds the state of the last one" twenty

finish
