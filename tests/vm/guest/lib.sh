# shellcheck shell=dash
# Helpers shared by the guest's check scripts (busybox sh), over the checks
# of tests/support/harness.sh (pass, fail, check, wait_for, finish), which
# the bench puts beside this file into the guest.

# shellcheck source=SCRIPTDIR/../../support/harness.sh
. /harness.sh
SW=/run/sw
mkdir -p $SW /var/lib/velorin

configured() { [ "$(cat "/sys/bus/usb/devices/$1-1/bConfigurationValue" 2>/dev/null)" = 1 ]; }
gone() { [ ! -e "/sys/bus/usb/devices/$1-1" ]; }
logged() { grep -q "$2" "$SW/$1.log" 2>/dev/null; }
ms_now() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }
node() { printf '/dev/bus/usb/%03d/%03d' "$1" "$(cat "/sys/bus/usb/devices/$1-1/devnum")"; }

# --- the tool ------------------------------------------------------------------
# run ARGS...: runs the tool, as user $AS when set; its standard output goes to
# /tmp/out, standard error to /tmp/err, its exit status to RC. A hung tool is
# stopped after RUN_HANG seconds, 30 unless set (a command takes well under
# 3 s: the 2 s wait for a held switch, the 1 s transfer time-outs).
AS=""
run() {
  if [ -n "$AS" ]; then timeout "${RUN_HANG:-30}" su -s /bin/velorin "$AS" -- "$@" >/tmp/out 2>/tmp/err
  else timeout "${RUN_HANG:-30}" velorin "$@" >/tmp/out 2>/tmp/err; fi
  RC=$?
}

# expect NAME STATUS TEXT ARGS...: the tool's output is TEXT (with \n
# escapes) byte for byte, its exit status STATUS, and standard error empty.
expect() {
  name=$1 want_rc=$2; printf '%b' "$3" >/tmp/want; shift 3
  run "$@"
  if [ "$RC" = "$want_rc" ] && cmp -s /tmp/want /tmp/out && [ ! -s /tmp/err ]; then
    pass "$name"
  else
    fail "$name" "velorin $*${AS:+ (as $AS)}" "exit status $RC, wanted $want_rc" "output:" "$(od -c /tmp/out | head -n 12)" \
      "wanted:" "$(od -c /tmp/want | head -n 12)" "stderr: $(head -c 300 /tmp/err)"
  fi
}
# The failure report for serial number $1 (exit status 3).
failed() { printf 'Changing switch with serial number %s failed!\\nError: Switch not installed or not available!\\n\\n' "$1"; }

# Users for runs without root: alice is in plugdev, bob is not.
users() {
  printf 'root:x:0:0:root:/:/bin/sh\nalice:x:1000:1000::/tmp:/bin/sh\nbob:x:1001:1001::/tmp:/bin/sh\n' >/etc/passwd
  printf 'root:x:0:\nplugdev:x:46:alice\nalice:x:1000:\nbob:x:1001:\n' >/etc/group
}

# --- virtual switches ----------------------------------------------------------------
# serve TAG SIM_OPTIONS...: velorin-sim with its state and log in $SW/TAG.*
# (state, setstates), its process in PID_TAG, at raised priority: a switch
# answers in hardware, whatever load its host has, so 20 commands polling a
# busy switch on two emulated processors must not starve its answers. Waits
# until it is ready. stop_switch TAG BUS stops it and waits until its bus is
# empty.
serve() {
  local tag=$1; shift
  rm -f "$SW/$tag.log" "$SW/$tag.state"
  velorin-sim --state-file "$SW/$tag.state" --log "$SW/$tag.log" "$@" &
  eval "PID_$tag=$!"
  renice -10 -p $! >/dev/null
  wait_for 30 logged "$tag" ready
}
stop_switch() {
  local pid
  eval "pid=\$PID_$1"
  if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
    wait_for 10 sh -c "[ ! -d /proc/$pid ]" || { echo "    switch $1 did not stop; killed"; kill -9 "$pid"; }
    wait "$pid" 2>/dev/null
  fi
  eval "PID_$1="
  wait_for 30 gone "$2"
}
state() { cat "$SW/$1.state" 2>/dev/null; }
setstates() { grep -c ' c0 01 ' "$SW/$1.log" 2>/dev/null; }  # set-state requests switch TAG got

# gadget N SERIAL SIM_OPTIONS...: switch N for bus N+1, built by hand as a
# user would and not plugged in yet: configfs gadget swN with SERIAL as
# string 3, its FunctionFS mount and velorin-sim serving it (tag N). plug N
# and unplug N bind it to dummy_udc.N and undo that, and wait until the bus
# shows it.
gadget() {
  local n=$1 serial=$2 g=/sys/kernel/config/usb_gadget/sw$1
  shift 2
  mkdir "$g" "$g/strings/0x409" "$g/configs/c.1" "$g/functions/ffs.sw$n"
  mkdir -p "/run/ffs/sw$n"
  echo 0x16c0 >"$g/idVendor"; echo 0x2823 >"$g/idProduct"; echo 0x0100 >"$g/bcdDevice"
  echo "Bench" >"$g/strings/0x409/manufacturer"
  echo "Virtual switch" >"$g/strings/0x409/product"
  echo "$serial" >"$g/strings/0x409/serialnumber"
  ln -s "$g/functions/ffs.sw$n" "$g/configs/c.1/"
  mount -t functionfs "sw$n" "/run/ffs/sw$n"
  serve "$n" --ffs "/run/ffs/sw$n" "$@"
}
plug() { echo "dummy_udc.$1" >"/sys/kernel/config/usb_gadget/sw$1/UDC" && wait_for 30 configured $(($1 + 1)); }
unplug() { echo "" >"/sys/kernel/config/usb_gadget/sw$1/UDC" && wait_for 30 gone $(($1 + 1)); }
# sim N SERIAL SIM_OPTIONS...: switch N for bus N+1 that builds its own
# gadget (velorin-sim --udc dummy_udc.N), tag N; an empty SERIAL leaves the
# serial option out. Waits until the bus shows it.
sim() {
  local n=$1 serial=$2
  shift 2
  if [ -n "$serial" ]; then set -- --serial "$serial" "$@"; fi
  serve "$n" --udc "dummy_udc.$n" "$@" && wait_for 30 configured $((n + 1))
}

# --- many commands at once ---------------------------------------------------------
# switch_bg TAG I SERIAL=NAME: switch command I in the background, asking for
# on when I is even, off when odd; NAME is how its report names the switch.
# Its exit status, output, standard error, time (ms) and the report it must
# give go to /tmp/TAG.I.rc, .out, .err, .ms and .want. It is stopped after
# SWITCH_HANG seconds (a hang bound, 30 unless set).
switch_bg() {
  local want=off
  [ $(($2 % 2)) = 0 ] && want=on
  printf '%s turned %s\n' "${3#*=}" "$want" >"/tmp/$1.$2.want"
  (t0=$(ms_now); timeout "${SWITCH_HANG:-30}" velorin "/N=${3%%=*}" "/S=$want" >"/tmp/$1.$2.out" 2>"/tmp/$1.$2.err"
   echo $? >"/tmp/$1.$2.rc"; echo $(($(ms_now) - t0)) >"/tmp/$1.$2.ms") &
}
# burst TAG COUNT SERIAL=NAME...: COUNT switch commands at once, command I to
# the switch I mod N (counting from 0) of the N given.
burst() {
  local tag=$1 count=$2 i=1 target
  shift 2
  rm -f "/tmp/$tag".*
  while [ "$i" -le "$count" ]; do
    eval "target=\${$((i % $# + 1))}"
    switch_bg "$tag" "$i" "$target"
    i=$((i + 1))
  done
}
ended() {  # ended TAG COUNT: COUNT commands of TAG have ended
  local count=$2
  set -- "/tmp/$1".*.ms
  [ -e "$1" ] && [ "$#" = "$count" ]
}
# judge TAG COUNT WHAT: once commands 1 to COUNT of TAG have ended (each is
# stopped after SWITCH_HANG s), checks that every one exited 0 with its report and
# nothing on standard error. The slowest one's time is a figure: printed,
# also as "@shared<TAB>WHAT<TAB>COUNT<TAB>MS".
judge() {
  local tag=$1 count=$2 what=$3 i=1 bad="" slowest=0 ms
  wait_for $((${SWITCH_HANG:-30} * 2)) ended "$tag" "$count"
  while [ "$i" -le "$count" ]; do
    ms=$(cat "/tmp/$tag.$i.ms" 2>/dev/null || echo 99999)
    [ "$ms" -gt "$slowest" ] && slowest=$ms
    if [ "$(cat "/tmp/$tag.$i.rc" 2>/dev/null)" != 0 ] || ! cmp -s "/tmp/$tag.$i.want" "/tmp/$tag.$i.out" ||
       [ -s "/tmp/$tag.$i.err" ]; then
      bad="$bad #$i(exit $(cat "/tmp/$tag.$i.rc" 2>/dev/null), $ms ms: $(cat "/tmp/$tag.$i.out" "/tmp/$tag.$i.err" | head -c 120))"
    fi
    i=$((i + 1))
  done
  printf '@shared\t%s\t%s\t%s\n' "$what" "$count" "$slowest"
  echo "    $what: the slowest of $count commands took $slowest ms"
  if [ -z "$bad" ]; then pass "$what: every command exits 0 with its report"
  else fail "$what: every command exits 0 with its report" "$bad"; fi
}
# final_states TAG...: each switch holds the state its last set-state request
# asked for.
final_states() {
  local tag last ok=true
  for tag in "$@"; do
    last=$(grep ' c0 01 ' "$SW/$tag.log" | tail -n 1 | awk '{ print ($4 == "0001") ? "on" : "off" }')
    if [ -z "$last" ] || [ "$(state "$tag")" != "$last" ]; then
      ok=false; echo "    switch $tag: state $(state "$tag"), last request $last"
    fi
  done
  $ok
}

# --- usbmon ----------------------------------------------------------------------
# monitor BUS: traces bus BUS into /tmp/mon until stop_monitor (which waits
# for COUNT completions first, up to 20 s); wire BUS DEV: the setup packets
# submitted to device DEV (decimal) on it, then how many transfers completed.
monitor() {
  cat "/sys/kernel/debug/usb/usbmon/$1u" >/tmp/mon &
  MONPID=$!
  wait_for 20 sh -c "ls -l /proc/$MONPID/fd | grep -q usbmon"
}
stop_monitor() {
  wait_for 20 sh -c "[ \"\$(grep -c ' C ' /tmp/mon)\" -ge $1 ]"
  sleep 0.2
  kill "$MONPID"
}
wire() {
  awk -v dev="$1:$(printf '%03d' "$2")" '{ split($4, a, ":"); if (a[2] ":" a[3] != dev) next
    if ($3 == "S") print ($5 == "s" ? $6 " " $7 " " $8 " " $9 " " $10 : "non-control " $4); else done++ }
    END { print done " completed" }' /tmp/mon
}
# One switch command on a kind-2 switch: string 0, string 3,
# SET_CONFIGURATION 1, then requests 4 5 1 5 5 6 and nothing else. String 0
# (the languages) is read with a length of 255 by Debian's libusb 0.1 and of
# 4 by libusb-compat-0.1 (over libusb-1.0, with the same soname; Fedora's,
# Arch's, Alpine's, openSUSE's). Which one the tool runs on is asked of the
# tool, once, before any switch is plugged in: under VELORIN_DEBUG=1 it says
# that libusb-compat scans sysfs and ignores USB_DEVFS_PATH, which Debian's
# library scans (here a folder that is not there: nothing is opened).
if VELORIN_DEBUG=1 USB_DEVFS_PATH=/nonexistent velorin /N=- 2>&1 >/dev/null |
  grep -q '^velorin: scanning sysfs: libusb-compat '; then USB_COMPAT=true; else USB_COMPAT=false; fi
usb_compat() { $USB_COMPAT; }
if usb_compat; then STRING0_LENGTH=0004; else STRING0_LENGTH=00ff; fi
WIRE_ON_KIND2="80 06 0300 0000 $STRING0_LENGTH
80 06 0303 0409 00ff
00 09 0001 0000 0000
c0 04 0000 0000 0008
c0 05 0000 0000 0008
c0 01 0001 0000 0008
c0 05 0000 0000 0008
c0 05 0000 0000 0008
c0 06 0000 0000 0020
9 completed"
# expect_wire NAME BUS DEV: the trace (monitor, stop_monitor) shows exactly
# WIRE_ON_KIND2 for device DEV on bus BUS.
expect_wire() {
  wire "$2" "$3" >/tmp/wire
  echo "$WIRE_ON_KIND2" >/tmp/wire.want
  if cmp -s /tmp/wire /tmp/wire.want; then pass "$1"
  else fail "$1" "seen:" "$(cat /tmp/wire)" "trace:" "$(cat /tmp/mon)"; fi
}

# --- udev ------------------------------------------------------------------------
REC=/var/lib/velorin/installed
export SYSTEMD_PAGER=cat  # udevadm's pager would wait on the console
udevd_start() { /lib/systemd/systemd-udevd --daemon 2>>/tmp/udevd.log && udevadm control --ping; }
settle() { udevadm settle --timeout=60; }  # until udev has handled every event so far
# The replay that the install's instructions and the package's postinst run,
# then the wait until udev has handled it; says which step failed.
replay() {
  udevadm control --reload-rules || { echo "    replay: udevadm control --reload-rules failed"; return 1; }
  udevadm trigger --action=add --subsystem-match=usb --attr-match=idVendor=16c0 --attr-match=idProduct=2823 ||
    { echo "    replay: udevadm trigger failed"; return 1; }
  settle || { echo "    replay: udevadm settle failed"; return 1; }
}
# given NODE: udev gave NODE to plugdev (crw-rw---- root plugdev) and tagged it uaccess.
given() {
  local got tags
  got=$(stat -c '%A %U %G' "$1")
  tags=$(udevadm info -q property -n "$1" | grep '^CURRENT_TAGS=')
  case "$got $tags" in "crw-rw---- root plugdev CURRENT_TAGS="*:uaccess:*) return 0 ;; esac
  echo "    $1: $got, $tags"
  return 1
}
# recorded SERIAL...: the record holds exactly these lines, each once, in any order.
recorded() {
  [ "$(sort "$REC" 2>/dev/null | tr '\n' ' ')" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ] ||
    { echo "    record: $(tr '\n' ' ' <"$REC" 2>&1)"; return 1; }
}

# --- USB/IP over loopback -----------------------------------------------------------
# One guest stands for two machines. usbip_export BUS exports the switch on
# bus BUS (usbipd, usbip bind) and removes its node on this side, so that only
# the imported copy can be used, as from another machine; usbip_attach BUS
# imports it onto a vhci bus and waits for it (see imported). usbip_modules
# loads the kernel's USB/IP modules; vhci-hcd adds 16 buses (8 controllers,
# each with a USB 2 and a USB 3 root hub).
usbip_modules() {
  local m
  for m in usbip-core usbip-host vhci-hcd; do insmod "/lib/modules/$m.ko" || return 1; done
}
usbip_export() {
  ip link set lo up && usbipd -D && usbip bind -b "$1-1" >>/tmp/usbip.log 2>&1 && rm "$(node "$1")"
}
usbip_attach() { usbip attach -r 127.0.0.1 -b "$1-1" >>/tmp/usbip.log 2>&1 && wait_for 30 imported; }
# imported: a switch is configured on a vhci bus; sets VPATH (its sysfs
# folder), VBUS, VDEV and VNODE.
# shellcheck disable=SC2034  # for the scripts that source this file
imported() {
  local d
  for d in /sys/devices/platform/vhci_hcd.*/usb*/[0-9]*-[0-9]*; do
    [ "$(cat "$d/idVendor" 2>/dev/null) $(cat "$d/bConfigurationValue" 2>/dev/null)" = "16c0 1" ] || continue
    VPATH=$d VBUS=$(cat "$d/busnum") VDEV=$(cat "$d/devnum")
    VNODE=$(printf '/dev/bus/usb/%03d/%03d' "$VBUS" "$VDEV")
    return 0
  done
  return 1
}

# --- a crowded machine ---------------------------------------------------------------
# crowd_setup FIRST N: besides the switches, N other USB devices (gadgets
# FIRST.. with the ids 1209:000K on their own buses) and vhci-hcd's 16 root
# hubs; each of the sleepers (every device that is neither a switch nor the
# root hub of a switch's bus, which stays awake for it) may suspend after
# 2 s idle. Needs udevd running: as at boot, udev gives every node its mode.
crowd_setup() {
  local n=$1 last=$(($1 + $2)) d
  insmod /lib/modules/usbip-core.ko && insmod /lib/modules/vhci-hcd.ko || return 1
  udevadm trigger --action=add --subsystem-match=usb
  while [ "$n" -lt "$last" ]; do
    gadget "$n" "OTHER00$n"
    echo 0x1209 >"/sys/kernel/config/usb_gadget/sw$n/idVendor"
    echo "0x000$n" >"/sys/kernel/config/usb_gadget/sw$n/idProduct"
    plug "$n" || return 1
    n=$((n + 1))
  done
  settle
  for d in $(crowd_sleepers); do
    echo auto >"$d/power/control"
    echo 2000 >"$d/power/autosuspend_delay_ms"
  done
}
crowd_sleepers() {
  local d
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] || continue
    [ "$(cat "$d/idVendor")" = 16c0 ] && continue
    case ${d##*/} in usb*) grep -qx 16c0 "/sys/bus/usb/devices/${d##*/usb}"-*/idVendor 2>/dev/null && continue ;; esac
    echo "$d"
  done
}
crowd_asleep() {
  local d
  for d in $(crowd_sleepers); do [ "$(cat "$d/power/runtime_status")" = suspended ] || return 1; done
}
# The kernel counts the time each device has been awake: crowd_asleep_since
# waits until every sleeper sleeps and notes the counts; crowd_woken says how
# many sleepers were awake a moment since then.
crowd_active_times() { for d in $(crowd_sleepers); do echo "$d $(cat "$d/power/runtime_active_time")"; done; }
crowd_asleep_since() { wait_for 60 crowd_asleep && crowd_active_times >/tmp/active.before; }
crowd_woken() { crowd_active_times | diff /tmp/active.before - | grep -c '^+/'; }

# --- MQTT ------------------------------------------------------------------------
# broker: mosquitto on 127.0.0.1:1883, its process in BROKER; waits until it
# takes a message.
# shellcheck disable=SC2034  # for the scripts that source this file
broker() {
  ip link set lo up
  printf 'user root\nlistener 1883 127.0.0.1\nallow_anonymous true\n' >/tmp/mosquitto.conf
  mosquitto -c /tmp/mosquitto.conf >/tmp/mosquitto.log 2>&1 &
  BROKER=$!
  wait_for 30 mosquitto_pub -h 127.0.0.1 -t probe -m x 2>/dev/null
}
