# shellcheck shell=dash
# The benchmark's crowded machine, run by the kernel bench's init in place of
# its checks (bench/run.sh boots it with the staged install, udev and five
# buses): switch VSC00001 (kind 2, named) alone, then among three other USB
# devices and vhci-hcd's 16 root hubs, each of which suspends after 2 s idle.
# Every run starts with all of them asleep; the kernel's count of each one's
# active time tells how many the run woke. Prints, per command and way:
#   @crowd  COMMAND  WAY  RUNS  MEAN_MS  WOKEN_PER_RUN
# and ends with "N passed, M failed" like the bench's checks.

# shellcheck source=SCRIPTDIR/../tests/vm/guest/lib.sh
. /bench-lib.sh
users
RUNS=$(( $(cat /etc/velorin-bench-runs 2>/dev/null || echo 50) / 5 ))
[ "$RUNS" -ge 3 ] || RUNS=3
check "udevd starts and answers" udevd_start
gadget 0 VSC00001 --kind 2 --name "Lamp 1"
plug 0
settle

# now_ms: the monotonic clock, to the microsecond.
now_ms() { awk '/^now at/ { printf "%.3f", $3 / 1e6; exit }' /proc/timer_list; }
# bench COMMAND WAY ARGS...: RUNS runs of ARGS as alice, each once every
# other device is asleep; their mean time and how many devices each woke.
bench() {
  local label=$1 way=$2 program=$3 i=0 total=0 woke=0 t0 t1
  shift 3
  # Two runs first, unmeasured: the emulator translates a program's code the
  # first times it runs it, which would count against whichever way ran first.
  su -s "$program" alice -- "$@" >/dev/null 2>&1
  su -s "$program" alice -- "$@" >/dev/null 2>&1
  while [ $i -lt "$RUNS" ]; do
    crowd_asleep_since
    t0=$(now_ms)
    su -s "$program" alice -- "$@" >/dev/null 2>&1
    t1=$(now_ms)
    total=$(awk -v a="$total" -v b="$t0" -v c="$t1" 'BEGIN { print a + c - b }')
    woke=$((woke + $(crowd_woken)))
    i=$((i + 1))
  done
  printf '@crowd\t%s\t%s\t%s\t%.1f\t%.1f\n' "$label" "$way" "$RUNS" \
    "$(awk -v t="$total" -v n="$RUNS" 'BEGIN { print t / n }')" "$(awk -v w="$woke" -v n="$RUNS" 'BEGIN { print w / n }')"
}
commands() {  # commands WAY: the three commands, one row each
  bench "velorin /N=VSC00001 /S=on" "$1" /usr/bin/velorin /N=VSC00001 /S=on
  bench "velorin /N=VSC00001" "$1" /usr/bin/velorin /N=VSC00001
  bench "velorin /A" "$1" /usr/bin/velorin /A
}

echo "@perf begin"
# No other device: nothing sleeps, nothing to wake.
commands alone
check "three other devices and vhci-hcd's root hubs" crowd_setup 1 3
check "$(crowd_sleepers | wc -l) other devices, each suspended after 2 s idle" crowd_asleep_since
check "udev linked the switch" [ -L "$(printf '/dev/velorin/001/%03d' "$(cat /sys/bus/usb/devices/1-1/devnum)")" ]
commands short
export USB_DEVFS_PATH=/dev/bus/usb
commands full
unset USB_DEVFS_PATH
bench "lsusb -d 16c0:2823" peer /bin/lsusb -d 16c0:2823
bench "sispmctl -s" peer /bin/sispmctl -s
echo "@perf end"
finish
