#!/bin/sh
# Wine prefixes for the Windows tests, never the user's own ~/.wine: a
# prepared one, made once (that takes seconds), and for each run a
# copy of it (milliseconds: hard links, but for the registry's files) with a wineserver of its own that
# keeps running, so that Wine's background processes start once, away from
# the pipes of the program a test reads.
#
# usage: wine_prefix.sh run TEMPLATE PROGRAM [ARG...]  run a Windows program in a fresh copy
#        wine_prefix.sh start TEMPLATE COPY            make COPY (an empty or missing folder), start its server
#        wine_prefix.sh stop COPY                      stop its server and remove COPY
set -eu

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Makes the prepared prefix once, under a lock, for test processes that
# start together.
prepare() {
  mkdir -p "$(dirname "$1")"
  exec 9>"$1.lock"
  flock 9
  if [ ! -f "$1/system.reg" ]; then
    rm -rf "$1"
    WINEPREFIX=$1 "$wine" wineboot -i >/dev/null 2>&1 </dev/null
    WINEPREFIX=$1 wineserver -w
  fi
  exec 9>&-
}

start() {
  prepare "$1"
  mkdir -p "$2"
  cp -al "$1/." "$2/"
  # The server rewrites the registry files in place: those are copied, so
  # that no run writes into the prepared prefix.
  for file in "$1"/*.reg; do
    rm -f "$2/${file##*/}"
    cp "$file" "$2/"
  done
  WINEPREFIX=$2 wineserver -p >/dev/null 2>&1 </dev/null
  WINEPREFIX=$2 "$wine" cmd /c exit >/dev/null 2>&1 </dev/null
}

stop() {
  WINEPREFIX=$1 wineserver -k 2>/dev/null || true
  rm -rf "$1"
}

command=$1
shift
case $command in
  start) start "$1" "$2" ;;
  stop) stop "$1" ;;
  run)
    template=$1
    shift
    copy=$(mktemp -d "${TMPDIR:-/tmp}/velorin-wine-XXXXXX")
    trap 'stop "$copy"' EXIT
    start "$template" "$copy"
    status=0
    WINEPREFIX=$copy "$wine" "$@" || status=$?
    exit "$status"
    ;;
  *)
    echo "usage: $0 run|start|stop ..." >&2
    exit 125
    ;;
esac
