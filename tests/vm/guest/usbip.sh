# shellcheck shell=dash
# A switch on another machine, over USB/IP, run by the guest's init in place
# of checks.sh (see vm_usbip in tests/vm/CMakeLists.txt). One guest stands for
# both machines, over loopback: the exporting side's switch is on bus 1 and
# its node there is removed once exported, so only the importing side's vhci
# device can be used, as from a second machine. udevd with the installed
# rule starts after the export, for the importing side.

# shellcheck source=SCRIPTDIR/lib.sh
. /bench-lib.sh
users
usbip_modules
gadget 0 VSI00001 --kind 2 --name "Far lamp"
plug 0
usbip_export 1
udevd_start
attach() { usbip_attach 1 && settle; }
check "attached over USB/IP: the switch is on a vhci bus" attach
echo "    the switch is device $VDEV on bus $VBUS"
check "the importing side's udev gives it to plugdev and tags it uaccess" given "$VNODE"
check "and records it, once" recorded VSI00001

# --- the commands, as a user in plugdev ------------------------------------------
AS=alice
monitor "$VBUS"
expect "through USB/IP: switch on" 0 'Far lamp turned on\n' /N=VSI00001 /S=on
stop_monitor 9
check "the switch is on" [ "$(state 0)" = on ]
expect_wire "usbmon on the vhci bus: the same 9 transfers as on a local bus" "$VBUS" "$VDEV"
expect "through USB/IP: query" 0 'Far lamp is turned on\n' /N=VSI00001
expect "through USB/IP: switch off" 0 'Far lamp turned off\n' /N=VSI00001 /S=off
check "the switch is off" [ "$(state 0)" = off ]
expect "through USB/IP: /A" 0 '\nAvailable switches:\n[VSI00001]: Far lamp\n\n' /A

# --- the connection cut while commands run ------------------------------------------
# loop TAG query|switch: runs the tool again and again (switching on and off
# in turn) until 5 runs have started after /tmp/TAG.cut appeared; one line
# per run in /tmp/TAG.runs: "before|after VERDICT STATUS MS", where VERDICT is
# report (exit 0, one line of report), failure (exit 3, the failure text) or
# other, all with nothing on standard error. A run the cut catches after the
# switch took its request but before its name was read rightly reports the
# switch by its serial number.
SUBJECT='(Far lamp|Switch with serial number VSI00001)'
# waiting: each process of the tool or of usbip still running, its state and
# its kernel stack.
waiting() {
  local p
  for p in /proc/[0-9]*; do
    case $(cat "$p/comm" 2>/dev/null) in velorin | usbip) ;; *) continue ;; esac
    echo "${p#/proc/} $(tr '\0' ' ' <"$p/cmdline") (state $(awk '{ print $3 }' "$p/stat")):"
    sed 's/^/  /' "$p/stack" 2>/dev/null
  done
}
loop() {
  local tag=$1 after=0 when flip=off t0 verdict
  printf '%b' "$(failed VSI00001)" >"/tmp/$tag.fail"
  while [ $after -lt 5 ]; do
    when=before
    [ -e "/tmp/$tag.cut" ] && when=after after=$((after + 1))
    t0=$(ms_now)
    if [ "$2" = query ]; then
      run /N=VSI00001; pattern="$SUBJECT is turned (on|off)"
    else
      if [ $flip = on ]; then flip=off; else flip=on; fi
      run /N=VSI00001 /S=$flip; pattern="$SUBJECT turned $flip"
    fi
    verdict=other
    if [ -s /tmp/err ]; then :
    elif [ "$RC" = 0 ] && [ "$(wc -l </tmp/out)" = 1 ] && grep -qxE "$pattern" /tmp/out; then verdict=report
    elif [ "$RC" = 3 ] && cmp -s "/tmp/$tag.fail" /tmp/out; then verdict=failure
    fi
    echo "$when $verdict $RC $(($(ms_now) - t0))" >>"/tmp/$tag.runs"
  done
}
# cut_during TAG KIND WHAT COMMAND...: runs COMMAND while loop TAG KIND runs,
# once 3 runs have ended; then checks the runs. Their times are figures only;
# each step has a bound that catches a hang (a run is stopped after 30 s),
# so that a hang is reported, with where the tool waits in the kernel.
cut_during() {
  local tag=$1 kind=$2 what=$3 pid cutter slowest
  shift 3
  loop "$tag" "$kind" &
  pid=$!
  wait_for 60 sh -c "[ \$(cat '/tmp/$tag.runs' 2>/dev/null | wc -l) -ge 3 ]"
  "$@" >>/tmp/usbip.log 2>&1 &
  cutter=$!
  wait_for 60 sh -c "[ ! -d /proc/$cutter ]" || echo "    $what: '$*' has not returned after 60 s"
  touch "/tmp/$tag.cut"
  wait_for 120 sh -c "[ ! -d /proc/$pid ]"
  slowest=$(awk '$4 > m { m = $4 } END { print m + 0 }' "/tmp/$tag.runs")
  echo "    $what: $(awk '{ n[$1 " " $2]++ } END { for (k in n) printf "%s %d, ", k, n[k] }' "/tmp/$tag.runs")slowest run $slowest ms"
  if [ ! -d "/proc/$pid" ] && ! grep -q ' other ' "/tmp/$tag.runs"; then pass "$what: every run ends, with its report or the failure text"
  else fail "$what: every run ends, with its report or the failure text" "$(grep ' other ' "/tmp/$tag.runs" | head -n 5)" "$(waiting)"; fi
  check "$what: the 5 runs after it exit 3 with the failure text" \
    [ "$(grep -c '^after failure 3 ' "/tmp/$tag.runs")" = 5 ]
  check "$what: the runs before it succeeded" [ "$(grep -c '^before report 0 ' "/tmp/$tag.runs")" -ge 3 ]
}
port=$(usbip port 2>/dev/null | awk '/^Port [0-9]+: <Port in Use>/ { sub(":", "", $2); print $2 + 0; exit }')
cut_during q query "usbip detach during a query loop" usbip detach -p "$port"
check "after the detach the vhci bus no longer has the switch" wait_for 30 sh -c "! [ -e $VPATH ]"
check "attached again" attach
# drop BUSID: the exporting side shuts its end of the connection of the
# switch at BUSID (usbip-host's "stub down") and waits until it is shut
# (usbip_status no longer 2, "in use"). Not usbip unbind: Debian 12's usbip-host deadlocks when
# unbound while it sets the configuration for the importing side (the unbind
# holds the device's lock and waits for the receiving thread, which waits for
# that lock), and the command waiting for that answer then never ends.
drop() {
  echo -1 >"/sys/bus/usb/devices/$1/usbip_sockfd" &&
    wait_for 30 sh -c "[ \"\$(cat /sys/bus/usb/devices/$1/usbip_status)\" != 2 ]"
}
cut_during s switch "the exporting side drops the connection during a switch loop" drop 1-1
check "after the drop the vhci bus no longer has the switch" wait_for 30 sh -c "! [ -e $VPATH ]"
check "the record still holds the switch once" recorded VSI00001
sed 's/^/    usbip: /' /tmp/usbip.log | grep -v usb.ids

finish
