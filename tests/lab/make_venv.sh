#!/bin/sh
# make_venv.sh FOLDER REQUIREMENTS: a virtual environment of Debian's python3
# with exactly the pinned packages (wheels only, nothing built). It is kept
# while the requirements are unchanged; pip's own cache serves a remake.
set -eu
venv=$1
requirements=$2
if cmp -s "$requirements" "$venv/requirements.txt"; then
  exit 0
fi
rm -rf "$venv"
/usr/bin/python3 -m venv "$venv"
"$venv/bin/pip" install --quiet --disable-pip-version-check --no-deps --only-binary :all: -r "$requirements"
cp "$requirements" "$venv/requirements.txt"
