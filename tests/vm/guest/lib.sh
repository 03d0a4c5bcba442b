# Helpers shared by the guest's check scripts (busybox sh). Each check prints
# "ok - NAME" or "FAIL - NAME" with details; the script ends with the count.

PASSED=0
FAILED=0
SW=/run/sw
mkdir -p $SW /var/lib/velorin

pass() { PASSED=$((PASSED + 1)); echo "ok - $1"; }
fail() {
  FAILED=$((FAILED + 1)); echo "FAIL - $1"; shift
  for line in "$@"; do echo "    $line"; done
}
check() {  # check NAME COMMAND...: passes when the command succeeds
  name=$1; shift
  if "$@"; then pass "$name"; else fail "$name" "failed: $*"; fi
}

# Polls COMMAND every 50 ms for up to SECONDS.
wait_for() {
  local tries=$(($1 * 20)); shift
  while [ $tries -gt 0 ]; do "$@" && return 0; sleep 0.05; tries=$((tries - 1)); done
  return 1
}
configured() { [ "$(cat /sys/bus/usb/devices/$1-1/bConfigurationValue 2>/dev/null)" = 1 ]; }
gone() { [ ! -e /sys/bus/usb/devices/$1-1 ]; }
logged() { grep -q "$2" "$SW/$1.log" 2>/dev/null; }
