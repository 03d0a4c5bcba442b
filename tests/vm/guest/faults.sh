# shellcheck shell=dash
# The bench's fault matrix and shared-use checks, run by the guest's init
# (busybox sh) in place of checks.sh: bench.sh --checks tests/vm/guest/faults.sh
# --extra velorin-hold --buses 4.
#
# Bus 1 carries a bystander switch (VSBYSTD1, kind 1) for the whole run; it
# must never get a set-state request. Each fault starts a fresh switch
# VSF00001 (kind 2, named "Lamp", off) on bus 2 that misbehaves in one way,
# then runs query, switch on, /L and /A against it. Every run is a row: its
# exit status and output must be the expected ones byte for byte, standard
# error empty, the switches' own states as expected, and the run must end (a
# generous bound catches a hang; its time is a figure). Each row goes to the
# console as
#   @row<TAB>fault<TAB>command<TAB>exit status<TAB>output<TAB>ms<TAB>verdict
# (output with \n for line breaks and \xNN for other bytes outside printable
# ASCII), between the lines "@rows begin" and "@rows end";
# tests/vm/reliability.sh turns them into docs/reliability.md.

# shellcheck source=SCRIPTDIR/lib.sh
. /bench-lib.sh
REC=/var/lib/velorin/installed
: >$REC

# Bytes as one line of text: printable ASCII as it is, a line break as \n,
# anything else (and the backslash) as \xNN.
escape() {  # escape [FILE]: FILE or standard input
  od -An -v -tx1 ${1:+"$1"} | awk '
    BEGIN { for (i = 32; i < 127; i++) c[sprintf("%02x", i)] = sprintf("%c", i); c["5c"] = "\\x5c"; c["0a"] = "\\n" }
    { for (i = 1; i <= NF; i++) printf "%s", ($i in c) ? c[$i] : "\\x" $i }'
}

# --- switches ----------------------------------------------------------------
# The bystander is switch 0 (bus 1), the target switch 1 (bus 2).
T=VSF00001 B=VSBYSTD1
check "bystander switch $B on bus 1" sim 0 $B --kind 1

# target OPTIONS...: a fresh target switch on bus 2 for the next fault.
target() {
  stop_switch 1 2
  sim 1 $T --kind 2 --name Lamp "$@" || echo "    target switch did not come up: $*"
}

# --- rows ----------------------------------------------------------------------
FAILLINE='Changing switch with serial number VSF00001 failed!\nError: Switch not installed or not available!\n\n'
LIST_L="\\nInstalled switches:\\n$B\\n$T\\n\\n"
LIST_A_BOTH="\\nAvailable switches:\\n[$B]: \\n[$T]: Lamp\\n\\n"
LIST_A_BY="\\nAvailable switches:\\n[$B]: \\n\\n"
STATE_OF=1   # the switch whose state a row checks
WANTFILE=""  # set: the expected output is this file's content
REPORT=""    # set: the row shows this text in place of the (long) output
users        # AS=alice runs the tool as user 1000
RUN_HANG=300 # run's own stop; each row judges its time against its bound
# The time bounds only catch a hang, with room for a busy machine: a command
# rightly takes up to about 2 s (the wait for a held switch, the 1 s
# transfer time-outs), /A over the garbage record about 20 s on an idle one.
# Each run's time is a figure on the console (the @row lines).
HANG=30 HANG_LONG=240

# row FAULT COMMAND STATUS OUTPUT STATE SECONDS ARGS...: runs the tool with
# ARGS; it must exit with STATUS, print OUTPUT (printf %b escapes) and nothing
# on standard error, leave the target's state at STATE (- for any), leave the
# bystander untouched and end within SECONDS (a hang bound).
echo "@rows begin"
row() {
  local fault=$1 cmd=$2 want_rc=$3 want_state=$5 limit=$6 t0 t1 ms why=""
  if [ -n "$WANTFILE" ]; then cp "$WANTFILE" /tmp/want; else printf '%b' "$4" >/tmp/want; fi
  shift 6
  t0=$(ms_now)
  run "$@"
  t1=$(ms_now); ms=$((t1 - t0))
  [ "$RC" = "$want_rc" ] || why="$why exit status $RC, wanted $want_rc;"
  cmp -s /tmp/want /tmp/out ||
    why="$why output differs: \"$(head -c 400 /tmp/out | escape)\", wanted \"$(head -c 400 /tmp/want | escape)\";"
  [ -s /tmp/err ] && why="$why standard error: $(head -c 400 /tmp/err | escape);"
  [ "$want_state" = - ] || [ "$(state $STATE_OF)" = "$want_state" ] ||
    why="$why state of switch $STATE_OF $(state $STATE_OF), wanted $want_state;"
  [ "$(setstates 0) $(state 0)" = "0 off" ] || why="$why the bystander was switched;"
  [ "$ms" -le $((limit * 1000)) ] || why="$why took $ms ms, bound $limit s;"
  if [ -z "$why" ]; then verdict=pass; else verdict="FAIL:$why"; fi
  printf '@row\t%s\t%s\t%s\t%s\t%s\t%s\n' "$fault" "$cmd" "$RC" "${REPORT:-$(escape /tmp/out)}" "$ms" "$verdict"
  if [ -z "$why" ]; then pass "$fault: $cmd"; else fail "$fault: $cmd" "velorin $*" "$why"; fi
}

# The four commands against the target, for faults that leave it in place.
# four FAULT QUERY_STATUS QUERY_OUT SWITCH_STATUS SWITCH_OUT STATE_AFTER A_OUT SECONDS
four() {
  row "$1" "query" "$2" "$3" off "$8" /N=$T
  row "$1" "switch on" "$4" "$5" "$6" "$8" /N=$T /S=on
  row "$1" "/L" 0 "$LIST_L" - "$8" /L
  row "$1" "/A" 0 "$7" - "$8" /A
}
OK_Q='Lamp is turned off\n' OK_S='Lamp turned on\n'
BYSER_Q="Switch with serial number $T is turned off\\n" BYSER_S="Switch with serial number $T turned on\\n"
A_NONAME="\\nAvailable switches:\\n[$B]: \\n[$T]: \\n\\n"

# A stall or an answer after the 1000 ms timeout on each vendor request. A
# failed state read or set-state fails the command; a failed version or kind
# read rejects the switch; a failed name read leaves the switch reported by
# its serial number.
for action in stall delay=1500; do
  label=$action; [ $action = stall ] || label="reply after 1500 ms"
  target --fault 0:$action; four "$label on request 0" 3 "$FAILLINE" 0 "$OK_S" on "$LIST_A_BOTH" $HANG
  target --fault 1:$action; four "$label on request 1" 0 "$OK_Q" 3 "$FAILLINE" "$([ $action = stall ] && echo off || echo -)" "$LIST_A_BOTH" $HANG
  target --fault 4:$action; four "$label on request 4" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
  target --fault 5:$action; four "$label on request 5" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
  target --fault 6:$action; four "$label on request 6" 0 "$BYSER_Q" 0 "$BYSER_S" on "$A_NONAME" $HANG
done

# A reply of 0 bytes.
target --fault 0:short=0; four "0-byte reply to request 0" 3 "$FAILLINE" 0 "$OK_S" on "$LIST_A_BOTH" $HANG
target --fault 4:short=0; four "0-byte reply to request 4" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
target --fault 5:short=0; four "0-byte reply to request 5" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
target --fault 6:short=0; four "0-byte reply to request 6" 0 "$BYSER_Q" 0 "$BYSER_S" on "$A_NONAME" $HANG

# Firmware versions and device kinds.
target --version 0.9; four "version 0.9" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
target --version 1.255; four "version 1.255" 0 "$OK_Q" 0 "$OK_S" on "$LIST_A_BOTH" $HANG
target --version 2.0; four "version 2.0" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
target --kind 0; four "kind 0" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG
target --kind 1; four "kind 1" 0 "$BYSER_Q" 0 "$BYSER_S" on "$A_NONAME" $HANG
target --kind 2; four "kind 2" 0 "$OK_Q" 0 "$OK_S" on "$LIST_A_BOTH" $HANG
target --kind 3; four "kind 3" 3 "$FAILLINE" 3 "$FAILLINE" off "$LIST_A_BY" $HANG

# A name with %, printf directives, control bytes and exactly 32 bytes, no
# zero: a terminal title (ESC ] 0 BEL), a line break that would forge an /A
# entry, a C1 CSI in UTF-8 (C2 9B) and DEL; each control is shown as one ?.
NAMEHEX=$(printf 'Lamp %%s%%n%%d%%%% \033]0\007\n\302\233\177thirty-two' | od -An -v -tx1 | tr -d ' \n')
NAMEESC='Lamp %s%n%d%% ?]0????thirty-two'
target --name-hex "$NAMEHEX"
row "name with %, control bytes, 32 bytes" "query" 0 "$NAMEESC is turned off\\n" off $HANG /N=$T
row "name with %, control bytes, 32 bytes" "switch on" 0 "$NAMEESC turned on\\n" on $HANG /N=$T /S=on
row "name with %, control bytes, 32 bytes" "/A" 0 "\\nAvailable switches:\\n[$B]: \\n[$T]: $NAMEESC\\n\\n" - $HANG /A

# No serial number string: nothing can ask for it, and sysfs offers none.
stop_switch 1 2; sim 1 "" --no-serial --kind 2 --name Lamp
row "no serial number string" "query" 3 "$FAILLINE" off $HANG /N=$T
row "no serial number string" "switch on" 3 "$FAILLINE" off $HANG /N=$T /S=on
row "no serial number string" "/L" 0 "\\nInstalled switches:\\n$B\\n\\n" - $HANG /L
row "no serial number string" "/A" 0 "$LIST_A_BY" - $HANG /A

# Permission denied: the target's node is root's alone (0600), the
# bystander's open to all; the tool runs as user 1000.
target
chmod 0600 "$(node 2)"; chmod 0666 "$(node 1)"
AS=alice
row "permission denied (user 1000, node 0600)" "query" 3 "$FAILLINE" off $HANG /N=$T
row "permission denied (user 1000, node 0600)" "switch on" 3 "$FAILLINE" off $HANG /N=$T /S=on
row "permission denied (user 1000, node 0600)" "/L" 0 "$LIST_L" - $HANG /L
row "permission denied (user 1000, node 0600)" "/A" 0 "$LIST_A_BY" - $HANG /A
AS=""
chmod 0664 "$(node 1)"

# Busy: another program holds the switch (interface 0 claimed) for 0.5 s,
# then for 5 s. The tool waits up to 2 s for it.
held_row() {  # held_row MS FAULT COMMAND STATUS OUTPUT STATE SECONDS ARGS...
  local hold=$1; shift
  rm -f /tmp/held
  velorin-hold "$(node 2)" "$hold" >/tmp/held &
  HOLDPID=$!
  wait_for 20 grep -q held /tmp/held || echo "    the holder did not get the switch"
  row "$@"
  wait $HOLDPID
}
target
for cmd in query "switch on" /A; do
  case $cmd in
    query) held_row 500 "held by another program for 0.5 s" query 0 "$OK_Q" off $HANG /N=$T ;;
    "switch on") held_row 500 "held by another program for 0.5 s" "switch on" 0 "$OK_S" on $HANG /N=$T /S=on ;;
    /A) held_row 500 "held by another program for 0.5 s" /A 0 "$LIST_A_BOTH" - $HANG /A ;;
  esac
done
target
held_row 5000 "held by another program for 5 s" query 3 "$FAILLINE" off $HANG /N=$T
held_row 5000 "held by another program for 5 s" "switch on" 3 "$FAILLINE" off $HANG /N=$T /S=on
held_row 5000 "held by another program for 5 s" /A 0 "$LIST_A_BY" - $HANG /A

# Unplugged just before the command (the record still names it), and
# unplugged while the tool holds it: the switch unbinds itself instead of
# answering a request.
target
printf '%s\n' $T >$REC
echo "" >/sys/kernel/config/usb_gadget/velorin-dummy_udc.1/UDC
wait_for 30 gone 2
row "unplugged before the command" "query" 3 "$FAILLINE" off $HANG /N=$T
row "unplugged before the command" "switch on" 3 "$FAILLINE" off $HANG /N=$T /S=on
row "unplugged before the command" "/L" 0 "\\nInstalled switches:\\n$T\\n$B\\n\\n" - $HANG /L
row "unplugged before the command" "/A" 0 "$LIST_A_BY" - $HANG /A
: >$REC
target --fault 0:unbind; row "unplugged while held (on request 0)" "query" 3 "$FAILLINE" off $HANG /N=$T
target --fault 1:unbind; row "unplugged while held (on request 1)" "switch on" 3 "$FAILLINE" off $HANG /N=$T /S=on
target --fault 6:unbind; row "unplugged while held (on request 6)" "/A" 0 "$A_NONAME" - $HANG /A

# Two switches with the same serial number: target (Lamp, bus 2) and Twin
# (bus 3). The tool takes the first in the USB library's list of busses and
# devices; whichever that is, it alone is switched and named in the report.
target
sim 2 $T --kind 2 --name Twin
TWO="two switches with the same serial number"
timeout 60 velorin /N=$T >/tmp/first 2>/dev/null
case "$(cat /tmp/first)" in
  "Twin is turned off") CHOSEN=Twin STATE_OF=2 OTHER=1 ;;
  *) CHOSEN=Lamp STATE_OF=1 OTHER=2 ;;
esac
row "$TWO" "query" 0 "$CHOSEN is turned off\\n" off $HANG /N=$T
row "$TWO" "switch on" 0 "$CHOSEN turned on\\n" on $HANG /N=$T /S=on
row "$TWO" "/L" 0 "\\nInstalled switches:\\n$B\\n$T\\n$T\\n\\n" - $HANG /L
row "$TWO" "/A" 0 "\\nAvailable switches:\\n[$B]: \\n[$T]: $CHOSEN\\n[$T]: $CHOSEN\\n\\n" - $HANG /A
other_untouched() { [ "$(setstates $OTHER) $(state $OTHER)" = "0 off" ]; }
check "$TWO: the one not taken (bus $((OTHER + 1))) was never switched" other_untouched
STATE_OF=1
stop_switch 2 3

# A garbage record file: binary bytes (a NUL among them), lines of 200,000
# bytes, empty lines, 10,000 lines, no final newline; its last line names the
# target. /L prints every non-empty line, each control byte in it as "?";
# /A asks each entry.
awk 'BEGIN {
  for (b = 1; b < 256; b++) if (b != 10) {
    bin = bin sprintf("%c", b)
    shownbin = shownbin ((b < 32 || b == 127) ? "?" : sprintf("%c", b))
  }
  long = sprintf("%200000s", ""); gsub(/ /, "L", long)
  for (i = 1; i <= 9998; i++) {
    k = i % 4
    if (i % 2500 == 7) line = shown = long
    else if (k == 0) line = shown = ""
    else if (k == 1) { line = bin; shown = shownbin }
    else if (k == 2) line = shown = sprintf("VS%06d", i)
    else {
      line = sprintf("%c%c\t%%s%%n %d\r", 255, 1, i)
      shown = sprintf("%c??%%s%%n %d", 255, i)  # one CR at a line end is not part of a serial number
    }
    printf "%s\n", line >"/var/lib/velorin/installed"
    if (shown != "") printf "%s\n", shown >"/tmp/garbage.want"
  }
}'
printf 'NUL\000BYTE\n' >>$REC
printf 'NUL?BYTE\n' >>/tmp/garbage.want
printf '%s' $T >>$REC
printf '%s\n%s\n\n' $T $B >>/tmp/garbage.want
{ printf '\nInstalled switches:\n'; cat /tmp/garbage.want; } >/tmp/garbage.L
garbage_rows() {
  check "garbage record: 10,000 lines, no final newline" \
    [ "$(wc -l <$REC) $(tail -c 1 $REC)" = "9999 1" ]
  row "garbage record file" "query" 0 "$OK_Q" off $HANG /N=$T
  row "garbage record file" "switch on" 0 "$OK_S" on $HANG /N=$T /S=on
  WANTFILE=/tmp/garbage.L REPORT="(the record's $(($(wc -l </tmp/garbage.want) - 2)) non-empty lines byte for byte, each without one CR at its end and with each control byte shown as ?, then $B)"
  row "garbage record file" "/L" 0 - - $HANG /L
  WANTFILE=""
  { printf '\nAvailable switches:\n[%s]: Lamp\n[%s]: \n\n' $T $B; } >/tmp/garbage.A
  WANTFILE=/tmp/garbage.A REPORT=""
  row "garbage record file" "/A" 0 - - $HANG_LONG /A
  WANTFILE=""
}
target
garbage_rows

# A record that is no regular file counts as none, and nothing waits on it:
# the attached switches are listed, in folder order.
for odd in "FIFO" "link to /dev/zero"; do
  rm -f $REC
  if [ "$odd" = FIFO ]; then mkfifo $REC; else ln -s /dev/zero $REC; fi
  target
  row "record file is a $odd" "switch on" 0 "$OK_S" on $HANG /N=$T /S=on
  row "record file is a $odd" "/L" 0 "\\nInstalled switches:\\n$B\\n$T\\n\\n" - $HANG /L
done
rm -f $REC
echo "@rows end"
: >$REC

# --- shared use ------------------------------------------------------------------
# Many commands at once: each must exit 0 with its own report (each waits in
# line while other commands use its switch), and each switch must end in the
# state of the last set-state request it got, one a command asked for. The
# slowest command's time is a figure, printed; only a hang (the 30 s
# time-out, 120 s for the queue of 50, past the tool's 60 s bound in line)
# fails a command for its time.
stop_switch 1 2
sim 1 VSS00001 --kind 2 --name One
sim 2 VSS00002 --kind 2 --name Two
sim 3 VSS00003 --kind 1
all_up() { configured 2 && configured 3 && configured 4; }
check "three switches for shared use on buses 2 to 4" wait_for 30 all_up
ONE=VSS00001=One TWO=VSS00002=Two THREE="VSS00003=Switch with serial number VSS00003"
sets() { local n total=0; for n in "$@"; do total=$((total + $(setstates "$n"))); done; echo "$total"; }

before=$(sets 1)
burst one 20 "$ONE"; judge one 20 "20 commands at once on one switch"
check "one switch: 20 set-state requests" [ $(($(sets 1) - before)) = 20 ]
check "one switch: final state is the one its last request asked for" final_states 1

before=$(sets 1)
SWITCH_HANG=120
burst queue 50 "$ONE"; judge queue 50 "50 commands at once on one switch"
SWITCH_HANG=30
check "one switch, a queue of 50: 50 set-state requests" [ $(($(sets 1) - before)) = 50 ]
check "one switch, a queue of 50: final state is the one its last request asked for" final_states 1

before=$(sets 1 2 3)
burst three 20 "$ONE" "$TWO" "$THREE"; judge three 20 "20 commands at once over three switches"
check "three switches: 20 set-state requests, each in the state its last one asked for" \
  [ $(($(sets 1 2 3) - before)) = 20 ]
check "three switches: final states are ones a command asked for" final_states 1 2 3

# A long query loop holds switch 1 again and again while 10 switch commands
# arrive one every 300 ms; the loop's queries must all succeed as well.
rm -f /tmp/loop.*
(n=0; end=$(($(ms_now) + 5000))
 while [ "$(ms_now)" -lt "$end" ]; do
   n=$((n + 1)); t0=$(ms_now)
   timeout 30 velorin /N=VSS00001 >/tmp/loop.out 2>/tmp/loop.err; rc=$?
   ms=$(($(ms_now) - t0))
   grep -qxE 'One is turned (on|off)' /tmp/loop.out && [ $rc = 0 ] && [ ! -s /tmp/loop.err ] || echo "#$n exit $rc" >>/tmp/loop.bad
   echo $ms >>/tmp/loop.ms
 done; echo $n >/tmp/loop.count) &
LOOPPID=$!
sleep 0.5
i=1; rm -f /tmp/late.*
while [ $i -le 10 ]; do switch_bg late $i "$ONE"; sleep 0.3; i=$((i + 1)); done
judge late 10 "10 commands while a query loop holds the switch"
wait $LOOPPID
loop_slowest=$(sort -n /tmp/loop.ms | tail -n 1)
echo "    the query loop ran $(cat /tmp/loop.count) queries; the slowest took $loop_slowest ms"
check "the query loop's queries all succeeded" [ ! -s /tmp/loop.bad ]
check "after the loop: switch 1 in the state the last command asked for" final_states 1

finish
