#!/bin/sh
# Runs a command with the tool's inventory locations (/var/lib/velorin and
# /sys/bus/usb/devices) replaced by fixture folders, in a private mount
# namespace: as root, or as a user in a user namespace of its own. Nothing
# changes outside the namespace.
#
# usage: with_fixture.sh RECORD_DIR DEVICES_DIR -- COMMAND [ARG...]
set -eu
if [ $# -lt 4 ] || [ "$3" != "--" ]; then
  echo "usage: $0 RECORD_DIR DEVICES_DIR -- COMMAND..." >&2
  exit 125
fi

if [ "${WITH_FIXTURE_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" = 0 ]; then
    WITH_FIXTURE_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
  fi
  WITH_FIXTURE_INSIDE=1 exec unshare --map-root-user --mount --propagation private "$0" "$@"
fi

record=$(realpath "$1")
devices=$(realpath "$2")
shift 3

# Binds SOURCE over TARGET; a TARGET that does not exist is made on a tmpfs
# laid over its nearest existing parent.
bind_over() {
  if [ ! -d "$2" ]; then
    parent=$(dirname "$2")
    while [ ! -d "$parent" ]; do parent=$(dirname "$parent"); done
    mount -t tmpfs fixture "$parent"
    mkdir -p "$2"
  fi
  mount --bind "$1" "$2"
}

bind_over "$record" /var/lib/velorin
bind_over "$devices" /sys/bus/usb/devices
exec "$@"
