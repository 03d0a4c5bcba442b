# shellcheck shell=dash
# The speed benchmark's guest part, run by the kernel bench's init (busybox
# sh) in place of its checks: bench/run.sh boots the bench with eight buses
# and lsusb in the guest. Prints its figures as tab-separated lines:
#   @perf  COMMAND  SWITCHES  RUNS  VELORIN_MS  LSUSB_MS   (mean per run)
#   @wire  COMMAND  BUS  SEEN  EXPECTED  REQUESTS         (control transfers)
#   @usbip COMMAND  RUNS  DIRECT_MS  WITH_VHCI_MS  USBIP_MS  (mean per run)
# and ends with "N passed, M failed" like the bench's checks.

# The bench's guest helpers (pass, fail, wait_for, sim, monitor, $SW), which
# bench.sh puts into the guest as /bench-lib.sh.
# shellcheck source=SCRIPTDIR/../tests/vm/guest/lib.sh
. /bench-lib.sh

RUNS=$(cat /etc/velorin-bench-runs 2>/dev/null || echo 50)
: >/var/lib/velorin/installed

# bench_sim BUS [KIND]: a switch on bus BUS (1 to 8), serial VSB0000BUS, kind
# 2 (named) unless KIND is given; unsim BUS stops it.
bench_sim() { sim $(($1 - 1)) "VSB0000$1" --kind "${2:-2}" --name "Bench $1"; }
unsim() { stop_switch $(($1 - 1)) "$1"; }

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
  monitor "$bus"
  "$@" >/dev/null 2>&1
  stop_monitor 0
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
# The expected lists, from the bench's own expectation for a kind-2 switch
# command (WIRE_ON_KIND2): the switch on, the same with a state read in
# place of the set-state, and a kind-1 switch on (no name: the first 7).
ON_KIND2=$(echo "$WIRE_ON_KIND2" | awk 'NF == 5 { printf "%s%s %s %s", sep, $1, $2, $3; sep = ", " }')
QUERY_KIND2=$(echo "$ON_KIND2" | sed 's/c0 01 0001/c0 00 0000/')
ON_KIND1=$(echo "$ON_KIND2" | cut -d, -f1-7)

bench_sim 1; bench_sim 2 1
echo "@perf begin"
# Transfers per command, against the protocol's own count.
wire_row "switch on, kind 2" 1 9 "$ON_KIND2" velorin /N=VSB00001 /S=on
wire_row "switch off, kind 2, all buses (a kind-1 switch on bus 2)" 0 - - velorin /N=VSB00001 /S=off
wire_row "switch on, kind 1" 2 7 "$ON_KIND1" velorin /N=VSB00002 /S=on
wire_row "query, kind 2" 1 9 "$QUERY_KIND2" velorin /N=VSB00001
wire_row "lsusb -v -d 16c0:2823 (one of two switches)" 1 - - lsusb_switches
unsim 2

# Times, side by side with lsusb on the same bus.
perf "velorin /N=VSB00001 /S=on (and off, in turn)" 1 switch_once
perf "velorin /N=VSB00001" 1 velorin /N=VSB00001
perf "velorin /A" 1 velorin /A
wire_row "/A, 1 switches" 0 - - velorin /A
n=2
for want in 2 4 8; do
  while [ $n -le $want ]; do bench_sim $n; n=$((n + 1)); done
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
  wire_row "switch on, kind 2, through USB/IP" "$VBUS" 9 "$ON_KIND2" velorin /N=VSB00001 /S=on
else
  fail "switch 1 exported and imported over USB/IP" "$(cat /tmp/usbip.log)"
fi
echo "@perf end"
finish
