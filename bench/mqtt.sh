#!/bin/bash
# The MQTT bridge's benchmark, on the kernel bench (eight emulated buses,
# eight virtual switches, mosquitto in the guest), in one run:
# - command -> state latency (median and 99th percentile of 200 commands)
#   through the bridge, next to the same command as `velorin /N=... /S=...`
#   started each time;
# - the bridge's CPU time over 60 s without commands (8 switches, poll 10 s)
#   and how often it woke, next to the CPU time of the same 48 state reads
#   made as `velorin /N=...` runs;
# - control transfers per switch per poll round (usbmon) with 1, 4 and 8
#   switches.
# Prints a Markdown table.
#
# usage: bench/mqtt.sh [BUILD_DIR]        (default: build)
# Needs the bench's packages (qemu-system-x86, busybox-static, cpio,
# xz-utils) and mosquitto and mosquitto-clients on this machine.
# VELORIN_VM_CACHE: a shared kernel cache, as for the bench.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$root/build}")
work="$build/bench-mqtt"
cmake --build "$build" --target velorin velorin-sim velorin-mqtt velorin-mqtt-latency >/dev/null
rm -rf "$work"
mkdir -p "$work"
bash "$root/tests/vm/bench.sh" \
  --velorin "$build/velorin" --sim "$build/velorin-sim" --work "$work/vm" \
  --cache "${VELORIN_VM_CACHE:-$build/vm/cache}" --checks "$root/bench/mqtt_guest.sh" --buses 8 \
  --extra "$build/velorin-mqtt" --extra "$build/bench/velorin-mqtt-latency" \
  --extra "$(command -v mosquitto || echo /usr/sbin/mosquitto)" --extra "$(command -v mosquitto_pub)" \
  --extra "$(command -v mosquitto_sub)" --timeout 900 >"$work/console.txt" || {
  tail -n 40 "$work/console.txt" >&2
  exit 1
}
console="$work/vm/console.log"
[ -f "$console" ] || console="$work/console.txt"

echo "| Figure | Value |"
echo "|---|---|"
grep $'^@latency\t' "$console" | tr -d '\r' | while IFS=$'\t' read -r _ what count median p99; do
  echo "| $what ($count commands) | median $median ms, 99th percentile $p99 ms |"
done
grep $'^@cpu\t' "$console" | tr -d '\r' | while IFS=$'\t' read -r _ what seconds cpu wakes; do
  echo "| CPU time: $what${seconds:+ ($seconds s)} | $cpu ms${wakes:+, $wakes wakes} |" | sed 's/ (- s)//; s/, - wakes//'
done
grep $'^@wire\t' "$console" | tr -d '\r' | while IFS=$'\t' read -r _ switches rounds low high; do
  echo "| Transfers per switch per poll round, $switches switches ($rounds rounds) | $low to $high |"
done
