# shellcheck shell=dash
# The speed benchmark's guest part, run by the kernel bench's init (busybox
# sh) in place of its checks: bench/run.sh boots the bench with eight buses
# and lsusb in the guest. Prints its figures as tab-separated lines:
#   @perf  COMMAND  SWITCHES  RUNS  VELORIN_MS  LSUSB_MS   (mean per run)
#   @wire  COMMAND  BUS  SEEN  EXPECTED  REQUESTS         (control transfers)
#   @usbip COMMAND  RUNS  DIRECT_MS  WITH_VHCI_MS  USBIP_MS  (mean per run)
# and ends with "N passed, M failed" like the bench's checks.

# The bench's guest helpers (pass, fail, wait_for, configured, logged, $SW),
# which bench.sh puts into the guest as /bench-lib.sh.
# shellcheck source=SCRIPTDIR/../tests/vm/guest/lib.sh
. /bench-lib.sh

RUNS=$(cat /etc/velorin-bench-runs 2>/dev/null || echo 50)
: >/var/lib/velorin/installed

# sim N [KIND]: switch N (1 to 8) on bus N, serial VSB0000N, kind 2 (named)
# unless KIND is given.
sim() {
  local n=$1 kind=${2:-2}
  velorin-sim --udc "dummy_udc.$((n - 1))" --serial "VSB0000$n" --kind "$kind" --name "Bench $n" \
    --state-file "$SW/$n.state" --log "$SW/$n.log" &
  eval "PID_$n=$!"
  renice -10 -p $! >/dev/null
  wait_for 10 logged "$n" ready && wait_for 20 configured "$n"
}
unsim() { local pid; eval "pid=\$PID_$1"; kill "$pid"; wait "$pid"; wait_for 10 sh -c "[ ! -e /sys/bus/usb/devices/$1-1 ]"; }

# mean_ms COMMAND...: the mean wall time of RUNS runs, in ms (the clock
# ticks in 10 ms; over 30 runs that is 0.3 ms per run).
mean_ms() {
  local i=0 t0 t1
  t0=$(ms_now)
  while [ "$i" -lt "$RUNS" ]; do "$@" >/dev/null 2>&1; i=$((i + 1)); done
  t1=$(ms_now)
  awk -v a="$t0" -v b="$t1" -v n="$RUNS" 'BEGIN { printf "%.1f", (b - a) / n }'
}
lsusb_switches() { lsusb -v -d 16c0:2823; }
flip=on
switch_once() { if [ $flip = on ] ; then flip=off; else flip=on; fi; velorin /N=VSB00001 /S=$flip; }
perf() {  # perf LABEL SWITCHES COMMAND...: one row, with lsusb timed in the same run
  local label=$1 n=$2; shift 2
  local ours theirs
  ours=$(mean_ms "$@")
  theirs=$(mean_ms lsusb_switches)
  printf '@perf\t%s\t%s\t%s\t%s\t%s\n' "$label" "$n" "$RUNS" "$ours" "$theirs"
}

# wire_row LABEL BUS EXPECTED_COUNT EXPECTED_LIST COMMAND...: the control
# transfers that COMMAND makes on BUS (0: all buses), as usbmon shows them
# (setup packets of every submission, in order). With an expected count of -
# the count is only recorded, not checked.
wire_row() {
  local label=$1 bus=$2 want=$3 wantlist=$4 seen list
  shift 4
  cat "/sys/kernel/debug/usb/usbmon/${bus}u" >/tmp/mon &
  local monpid=$!
  wait_for 5 sh -c "ls -l /proc/$monpid/fd | grep -q usbmon"
  "$@" >/dev/null 2>&1
  sleep 0.3
  kill $monpid
  # Root hubs (device 1) are left out: their port-status requests come from
  # the kernel's hub driver when an open wakes a suspended root hub.
  awk '$3 == "S" && $5 == "s" { split($4, a, ":"); if (a[3] != "001") print $6 " " $7 " " $8 }' /tmp/mon >/tmp/mon.setup
  list=$(awk '{ printf "%s%s", sep, $0; sep = ", " }' /tmp/mon.setup)
  seen=$(wc -l </tmp/mon.setup)
  hubs=$(awk '$3 == "S" && $5 == "s" { split($4, a, ":"); if (a[3] == "001") n++ } END { print n + 0 }' /tmp/mon)
  [ "$hubs" = 0 ] || echo "    $label: also $hubs port-status requests to root hubs"
  printf '@wire\t%s\t%s\t%s\t%s\t%s\n' "$label" "$([ "$bus" = 0 ] && echo all || echo "$bus")" "$seen" "$want" "$list"
  if [ "$want" = - ]; then :
  elif [ "$seen" = "$want" ] && [ "$list" = "$wantlist" ]; then pass "wire: $label"
  else fail "wire: $label" "seen $seen: $list" "wanted $want: $wantlist"; fi
}
S0="80 06 0300" S3="80 06 0303" CFG="00 09 0001" R0="c0 00 0000" R1="c0 01 0001" R4="c0 04 0000" R5="c0 05 0000" R6="c0 06 0000"
OPEN="$S0, $S3, $CFG, $R4, $R5"

sim 1; sim 2 1
echo "@perf begin"
# Transfers per command, against the protocol's own count.
wire_row "switch on, kind 2" 1 9 "$OPEN, $R1, $R5, $R5, $R6" velorin /N=VSB00001 /S=on
wire_row "switch off, kind 2, all buses (a kind-1 switch on bus 2)" 0 - - velorin /N=VSB00001 /S=off
wire_row "switch on, kind 1" 2 7 "$OPEN, $R1, $R5" velorin /N=VSB00002 /S=on
wire_row "query, kind 2" 1 9 "$OPEN, $R0, $R5, $R5, $R6" velorin /N=VSB00001
wire_row "lsusb -v -d 16c0:2823 (one of two switches)" 1 - - lsusb_switches
unsim 2

# Times, side by side with lsusb on the same bus.
perf "velorin /N=VSB00001 /S=on (and off, in turn)" 1 switch_once
perf "velorin /N=VSB00001" 1 velorin /N=VSB00001
perf "velorin /A" 1 velorin /A
wire_row "/A, 1 switches" 0 - - velorin /A
n=2
for want in 2 4 8; do
  while [ $n -le $want ]; do sim $n; n=$((n + 1)); done
  perf "velorin /A" $want velorin /A
  # Each entry's Open reads the serial number of every switch before the one
  # it wants; the least /A needs is 8 transfers per kind-2 switch.
  wire_row "/A, $want switches" 0 - - velorin /A
done

# Through USB/IP: switch 1 alone, first directly, then exported over loopback
# and imported onto a vhci bus, its own node removed so that the tool uses
# the imported one (the same switch, the same single candidate). Directly
# also once the USB/IP modules are loaded: each command's scan then opens
# vhci's 16 root hubs as well.
n=8
while [ $n -ge 2 ]; do unsim $n; n=$((n - 1)); done
query_once() { velorin /N=VSB00001; }
direct_switch=$(mean_ms switch_once) direct_query=$(mean_ms query_once)
usbip_modules
vhci_switch=$(mean_ms switch_once) vhci_query=$(mean_ms query_once)
if usbip_export 1 && usbip_attach 1; then
  printf '@usbip\t%s\t%s\t%s\t%s\t%s\n' "velorin /N=VSB00001 /S=on (and off, in turn)" "$RUNS" \
    "$direct_switch" "$vhci_switch" "$(mean_ms switch_once)"
  printf '@usbip\t%s\t%s\t%s\t%s\t%s\n' "velorin /N=VSB00001" "$RUNS" "$direct_query" "$vhci_query" "$(mean_ms query_once)"
  wire_row "switch on, kind 2, through USB/IP" "$VBUS" 9 "$OPEN, $R1, $R5, $R5, $R6" velorin /N=VSB00001 /S=on
else
  fail "switch 1 exported and imported over USB/IP" "$(cat /tmp/usbip.log)"
fi
echo "@perf end"
echo "$PASSED passed, $FAILED failed"
