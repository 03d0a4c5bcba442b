# shellcheck shell=dash
# The MQTT bridge under real udev with the installed rule (see vm_mqtt in
# tests/vm/CMakeLists.txt), mosquitto in the guest on 127.0.0.1: a switch
# plugged in or unplugged shows in its availability at once (the poll is
# an hour away, so only the kernel's device event can have told the bridge),
# a command reaches the switch, and none of it wakes a device that is not a
# switch. The times are printed as figures.

# shellcheck source=SCRIPTDIR/lib.sh
. /bench-lib.sh
users
check "udevd starts and answers" udevd_start
gadget 0 VSM00001 --kind 2 --name "Lamp 1"
gadget 1 VSM00002 --kind 1
plug 0
check "two other devices and vhci-hcd's root hubs" crowd_setup 2 2
check "mosquitto listens on 127.0.0.1" broker
mosquitto_sub -h 127.0.0.1 -t 'velorin/guest/#' -v >/tmp/sub 2>&1 &
SUB=$!
printf 'host = 127.0.0.1\nbase_topic = velorin/guest\nclient_id = guest\npoll_interval = 3600\n' >/tmp/mqtt.conf
# As a user in plugdev, as the service runs.
su -s /bin/velorin-mqtt alice -- --config /tmp/mqtt.conf 2>/tmp/bridge.log &
BRIDGE=$!
# last TOPIC PAYLOAD: the last message on velorin/guest/TOPIC was PAYLOAD.
last() { [ "$(grep "^velorin/guest/$1 " /tmp/sub | tail -n 1)" = "velorin/guest/$1 $2" ]; }
check "the bridge is online" wait_for 30 last status online
check "the plugged switch is online" wait_for 30 last VSM00001/availability online
check "and off" last VSM00001/state OFF
crowd_asleep_since

# timed NAME TOPIC PAYLOAD: waits for the payload and prints how long it took.
timed() {
  local t0
  t0=$(ms_now)
  if wait_for 30 last "$2" "$3"; then pass "$1 ($(($(ms_now) - t0)) ms)"; else fail "$1" "$(tail -n 5 /tmp/sub)"; fi
}
plug 1
timed "a switch plugged in is announced online" VSM00002/availability online
check "its state is published" last VSM00002/state OFF
unplug 1
timed "a switch unplugged goes offline" VSM00002/availability offline
mosquitto_pub -h 127.0.0.1 -q 1 -t velorin/guest/VSM00001/set -m ON
timed "a command's state is the switch's" VSM00001/state ON
check "the switch is on" [ "$(state 0)" = on ]
# Plugging wakes the hub the switch hangs from (usb2); nothing else may wake.
n=$(crowd_active_times | diff /tmp/active.before - | grep '^+/' | grep -vc '/usb2 ')
check "plug, unplug and a command woke no other device ($n woken)" [ "$n" = 0 ]

kill -TERM $BRIDGE
wait $BRIDGE
check "SIGTERM: the bridge exits 0" [ $? = 0 ]
check "and says offline" wait_for 10 last status offline
kill $SUB "$BROKER"
if [ "$FAILED" = 0 ]; then head -n 20 /tmp/bridge.log; else cat /tmp/bridge.log /tmp/mosquitto.log; fi | sed 's/^/    bridge: /'
finish
