# shellcheck shell=dash
# The bridge benchmark's guest part, run by the kernel bench's init (busybox
# sh) in place of its checks: bench/mqtt.sh boots the bench with eight buses,
# mosquitto and the bridge in the guest. Prints its figures as tab-separated
# lines:
#   @latency  WHAT  COUNT  MEDIAN_MS  P99_MS
#   @cpu      WHAT  SECONDS  CPU_MS  WAKES      (WAKES: the bridge's sleeps ended)
#   @wire     SWITCHES  ROUNDS  TRANSFERS_PER_SWITCH_PER_ROUND (min max)
# and ends with "N passed, M failed" like the bench's checks.

# shellcheck source=SCRIPTDIR/../tests/vm/guest/lib.sh
. /bench-lib.sh

: >/var/lib/velorin/installed
check "mosquitto listens on 127.0.0.1" broker

# bridge POLL: starts the bridge with that poll interval; BRIDGE is its process.
bridge() {
  printf 'host = 127.0.0.1\nbase_topic = velorin/bench\nclient_id = bench\npoll_interval = %s\n' "$1" >/tmp/mqtt.conf
  velorin-mqtt --config /tmp/mqtt.conf 2>>/tmp/bridge.log &
  BRIDGE=$!
  wait_for 30 sh -c "mosquitto_sub -h 127.0.0.1 -t velorin/bench/status -C 1 -W 1 | grep -qx online"
}
stop_bridge() { kill "$BRIDGE"; wait "$BRIDGE"; }
# cpu_ms PID: user and system time so far, of the process (fields 14, 15) and
# of its waited-for children (16, 17), in ms.
cpu_ms() { awk -v hz=100 '{ print ($14 + $15 + $16 + $17) * 1000 / hz }' "/proc/$1/stat"; }
# wakes PID: how often its threads have slept and woken.
wakes() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }'; }

n=1
while [ $n -le 8 ]; do sim $((n - 1)) "VSB0000$n" --kind 2 --name "Bench $n"; n=$((n + 1)); done
echo "@bench begin"

# --- command -> state: through the bridge, and as the command line --------------
bridge 10
line=$(velorin-mqtt-latency mqtt 127.0.0.1 1883 velorin/bench VSB00001 200)
check "200 commands through the bridge, each answered" [ -n "$line" ]
printf '@latency\tbridge: ON/OFF to BASE/VSB00001/set until its state\t200\t%s\t%s\n' "${line% *}" "${line#* }"
line=$(velorin-mqtt-latency cli /bin/velorin VSB00001 200)
check "200 commands as velorin /N=VSB00001 /S=on|off" [ -n "$line" ]
printf '@latency\tvelorin /N=VSB00001 /S=on|off, started each time\t200\t%s\t%s\n' "${line% *}" "${line#* }"

# --- 60 s idle with 8 switches: the bridge, and the same reads as the command line
sleep 2
c0=$(cpu_ms "$BRIDGE") w0=$(wakes "$BRIDGE")
sleep 60
c1=$(cpu_ms "$BRIDGE") w1=$(wakes "$BRIDGE")
printf '@cpu\tbridge, 8 switches, poll 10 s, no commands\t60\t%s\t%s\n' "$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')" $((w1 - w0))
stop_bridge
# The bridge's 6 polls of 8 switches as 48 runs of the command line, in one shell.
sh -c 'for r in 1 2 3 4 5 6; do for s in 1 2 3 4 5 6 7 8; do velorin /N=VSB0000$s >/dev/null; done; done
  read -r stat </proc/$$/stat; echo "$stat"' >/tmp/cli.stat
printf '@cpu\tthe same 48 reads as velorin /N=... runs\t-\t%s\t-\n' "$(awk -v hz=100 '{ print ($16 + $17) * 1000 / hz }' /tmp/cli.stat)"

# --- transfers per switch per poll round, with 1, 4 and 8 switches ---------------
# Each round reads each switch's state (request 0) once: a switch's transfers
# over the trace divided by its state requests are its cost per round.
for count in 8 4 1; do
  printf '' >/var/lib/velorin/installed
  n=8
  while [ $n -gt "$count" ]; do stop_switch $((n - 1)) $n; n=$((n - 1)); done
  bridge 1
  sleep 2
  monitor 0
  sleep 6
  kill "$MONPID"
  stop_bridge
  awk -v want="$count" '$3 == "S" && $5 == "s" { split($4, a, ":"); if (a[3] == "001") next
      dev = a[2] ":" a[3]; all[dev]++; if ($6 == "c0" && $7 == "00") reads[dev]++ }
    END { min = -1; rounds = -1
      for (d in all) { if (!reads[d]) { print "@wire\t" want "\t0\t-\t-"; exit }
        r = all[d] / reads[d]; if (min < 0 || r < min) min = r; if (r > max) max = r
        if (rounds < 0 || reads[d] < rounds) rounds = reads[d]; n++ }
      printf "@wire\t%d\t%d\t%.2f\t%.2f\n", n, rounds, min, max }' /tmp/mon
  n=$count
done
echo "@bench end"
check "the bridge logged no failure" sh -c "! grep -q 'not carried out\|does not answer' /tmp/bridge.log"
finish
