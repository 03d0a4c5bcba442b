#!/bin/bash
# Kernel test bench: boots Debian's own kernel under QEMU with virtual
# switches on emulated USB host controllers, and runs the built tool against
# them inside the guest. Needs no root: the kernel package is fetched with
# `apt-get download` and unpacked in a cache folder, the initramfs is built
# with cpio from a staging folder, and QEMU runs as a plain process.
#
# usage: bench.sh --velorin PATH --sim PATH --work DIR [--cache DIR] [--timeout S]
#                 [--checks FILE] [--buses N] [--extra PATH]... [--file SRC:DEST]...
#                 [--deb PKG[:PATH,...]]... [--udev] [--install BUILD_DIR]
#
# --checks runs another guest script in place of guest/checks.sh (sourced by
# the guest's init after the modules are loaded); --buses sets the number of
# emulated host controllers, one per virtual switch (default 7). --extra puts
# another program into the guest's /bin with the shared libraries it needs;
# --file copies a plain file to DEST in the guest; --udev adds the packages
# for real udev (see udev_debs).
# --deb fetches a Debian package once into the cache, like the kernel, and
# puts the listed files and folders of it (all but /usr/share without a list)
# at the same paths in the guest. --install stages `cmake --install BUILD_DIR
# --prefix /usr` with DESTDIR and lays it over the guest's root last, so the
# guest runs the installed files. Programs and libraries put into the guest
# bring the shared libraries they need, from this machine or from a fetched
# package; one found in neither stops the bench. The guest's root is merged
# /usr like Debian 12's (/bin, /sbin and /lib lead into /usr).
#
# Prints the guest's console (each check, then "N passed, M failed") and exits
# 0 only when that closing line shows no failure and at least one pass.
set -euo pipefail
umask 022  # the guest's files get the modes of an install, whatever the caller's umask

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
velorin="" sim="" work="" cache="" limit=240
checks="$here/guest/checks.sh" buses=7 install=""
extras=() files=() debs=()
# --udev: Debian's systemd-udevd with udev's own rules and systemd's seat
# rules, as a Debian 12 machine runs them.
udev_debs=("udev:/bin/udevadm,/lib/systemd/systemd-udevd,/lib/udev/rules.d"
  "systemd:/lib/udev/rules.d/70-uaccess.rules,/lib/udev/rules.d/71-seat.rules,/lib/udev/rules.d/73-seat-late.rules,/lib/udev/rules.d/99-systemd.rules")

while [ $# -gt 0 ]; do
  case "$1" in
    --velorin) velorin=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --checks) checks=$2; shift 2 ;;
    --buses) buses=$2; shift 2 ;;
    --extra) extras+=("$2"); shift 2 ;;
    --file) files+=("$2"); shift 2 ;;
    --deb) debs+=("$2"); shift 2 ;;
    --udev) debs+=("${udev_debs[@]}"); shift ;;
    --install) install=$2; shift 2 ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$velorin" ] || [ -z "$sim" ] || [ -z "$work" ]; then
  sed -n '/^# usage:/,/^#$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
fi
# VELORIN_VM_CACHE, when set, wins over --cache (one cache for every build tree).
cache="${VELORIN_VM_CACHE:-${cache:-$work/cache}}"
for f in "$velorin" "$sim"; do
  [ -x "$f" ] || { echo "bench.sh: $f is missing or not executable (build first)" >&2; exit 2; }
done
for tool in qemu-system-x86_64 cpio apt-get dpkg-deb xz timeout ldd; do
  command -v "$tool" >/dev/null || { echo "bench.sh: $tool not found (see the packages in .ci/run)" >&2; exit 2; }
done
busybox=/bin/busybox
if [ ! -x "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  echo "bench.sh: a static $busybox is needed (package busybox-static)" >&2; exit 2
fi
mkdir -p "$work" "$cache"
# Absolute from here on: the kernel is fetched from inside the cache folder.
work=$(cd "$work" && pwd) cache=$(cd "$cache" && pwd)
started=$(date +%s.%N)

# The modules the guest loads, in load order, and those it has for a check
# script to load (USB/IP: usbip_modules in guest/lib.sh).
modules="usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs usbmon"
optional_modules="usbip-core usbip-host vhci-hcd"

# --- kernel: resolve linux-image-amd64 to its versioned package, fetch once ---
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

# fetch_once DIR PKG[=VERSION] UNPACK: unless DIR is ready from an earlier
# run, downloads the package into a scratch folder of the cache and runs
# UNPACK DEB DIR on it, then marks DIR ready.
fetch_once() {
  local dir=$1 package=$2 unpack=$3 tmp="$cache/tmp"
  [ -f "$dir/ready" ] && return 0
  echo "bench: fetching $package into $cache" >&2
  rm -rf "$dir" "$tmp"
  mkdir -p "$tmp" "$dir"
  (cd "$tmp" && apt-get download -q "$package" >/dev/null 2>"$tmp/apt.err") ||
    { cat "$tmp/apt.err" >&2; echo "bench.sh: apt-get download $package failed" >&2; exit 2; }
  "$unpack" "$(ls "$tmp"/*.deb)" "$dir"
  rm -rf "$tmp"
  touch "$dir/ready"
}

# unpack_kernel DEB DIR: the modules the guest needs and the ELF kernel.
# shellcheck disable=SC2317 # called through fetch_once
unpack_kernel() {
  local deb=$1 dir=$2 root="$cache/tmp/root" payload off members=() offsets
  mkdir -p "$root" "$dir/modules"
  for m in $modules $optional_modules; do members+=("./lib/modules/*/$m.ko"); done
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$root" --wildcards './boot/vmlinuz-*' "${members[@]}" 2>/dev/null ||
    dpkg-deb -x "$deb" "$root"
  for m in $modules $optional_modules; do
    find "$root/lib/modules" -name "$m.ko" -exec cp {} "$dir/modules/" \;
    [ -f "$dir/modules/$m.ko" ] || { echo "bench.sh: module $m not in $deb" >&2; exit 2; }
  done
  # The bzImage decompresses itself slowly under emulation; the ELF kernel
  # inside it boots directly through its PVH entry. Find the compressed
  # payload by its magic and unpack the first one that yields an ELF file.
  payload=$(ls "$root"/boot/vmlinuz-*)
  mapfile -t offsets < <(LC_ALL=C grep -aboP '\xfd7zXZ\x00' "$payload" | cut -d: -f1)
  for off in "${offsets[@]}"; do
    tail -c +$((off + 1)) "$payload" | xz -dcq >"$dir/vmlinux" 2>/dev/null || true
    if [ "$(head -c 4 "$dir/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ]; then break; fi
    rm -f "$dir/vmlinux"
  done
  [ -f "$dir/vmlinux" ] || { echo "bench.sh: no xz-compressed ELF kernel found in $payload" >&2; exit 2; }
}

fetch_kernel() {
  local pkg dir
  pkg=$(kernel_package || true)
  if [ -z "$pkg" ]; then
    # No package lists (offline, or apt-get update never ran): use the newest cached one.
    pkg=$(find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' -printf '%f\n' 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$pkg" ] || { echo "bench.sh: cannot resolve linux-image-amd64 (run apt-get update)" >&2; exit 2; }
  fi
  dir="$cache/$pkg"
  for m in $modules $optional_modules; do
    [ -f "$dir/modules/$m.ko" ] || rm -f "$dir/ready"   # a cache from before a module was added
  done
  fetch_once "$dir" "$pkg" unpack_kernel
  kernel_dir=$dir
}

# --- Debian packages for the guest: fetched once into the cache, like the kernel ---
deb_roots=() libpath=""
# shellcheck disable=SC2317 # called through fetch_once
unpack_deb() { dpkg-deb -x "$1" "$2/root"; }
fetch_deb() {  # fetch_deb PKG: unpacks PKG's candidate version into the cache; sets deb_root
  local pkg=$1 ver dir
  ver=$(apt-cache policy "$pkg" 2>/dev/null | awk '$1 == "Candidate:" && $2 != "(none)" { print $2 }')
  if [ -n "$ver" ]; then
    dir="$cache/deb/${pkg}_${ver//:/%3a}"
  else
    # No package lists: use the newest cached version.
    dir=$(find "$cache/deb" -maxdepth 1 -name "${pkg}_*" 2>/dev/null | sort -V | tail -n 1)
    [ -n "$dir" ] || { echo "bench.sh: cannot resolve package $pkg (run apt-get update)" >&2; exit 2; }
  fi
  fetch_once "$dir" "$pkg${ver:+=$ver}" unpack_deb
  deb_root="$dir/root"
  deb_roots+=("$deb_root")
  local libdir
  for libdir in "$deb_root"/lib/*-linux-gnu "$deb_root"/usr/lib/*-linux-gnu; do
    [ -d "$libdir" ] && libpath="$libpath${libpath:+:}$libdir"
  done
  return 0
}

# --- initramfs: busybox, modules, the tool and the virtual switch with their libraries ---
copy_libs() {  # copy_libs FILE: the shared libraries FILE needs, each at its path in the guest
  local file=$1 out lib dest root
  out=$(LD_LIBRARY_PATH=$libpath ldd "$file" 2>/dev/null) || return 0   # static, or not a program
  if grep -q 'not found' <<<"$out"; then
    echo "bench.sh: $file needs a library found neither on this machine nor in a fetched package (--deb):" >&2
    grep 'not found' <<<"$out" >&2
    exit 2
  fi
  while read -r lib; do
    dest=$lib
    for root in ${deb_roots[@]+"${deb_roots[@]}"}; do
      case $lib in "$root"/*) dest=${lib#"$root"} ;; esac
    done
    mkdir -p "$stage$(dirname "$dest")"
    cp -L "$lib" "$stage$dest"
  done < <(awk '/=> \// { print $3 } /^\t\// { print $1 }' <<<"$out")
}

copy_with_libs() {  # copy_with_libs BINARY DEST_NAME
  cp -L "$1" "$stage/bin/$2"
  copy_libs "$1"
}

# lay ROOT [PATH...]: copies the PATHs under ROOT (all of ROOT without one) to
# the same places in the guest, links as they are; the ELF files among them
# bring their libraries.
lay() {
  local root=$1 path file
  shift
  [ $# -gt 0 ] || set -- .
  for path in "$@"; do
    [ -e "$root/$path" ] || [ -L "$root/$path" ] || { echo "bench.sh: no $path in $root" >&2; exit 2; }
  done
  (cd "$root" && tar -c "$@") | tar -x -C "$stage" --keep-directory-symlink --no-same-owner
  while IFS= read -r -d '' file; do
    if [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ]; then copy_libs "$file"; fi
  done < <(cd "$root" && find "$@" -type f -print0 | sed -z "s|^\./||; s|^|$root/|")
}

build_initramfs() {
  stage="$work/stage"
  rm -rf "$stage"
  # Merged /usr, as on Debian 12: packages' files under /lib or /usr/lib,
  # /bin or /usr/bin land in the same folders.
  mkdir -p "$stage"/{usr/bin,usr/sbin,usr/lib/modules,usr/lib64,dev,proc,sys,tmp,run,etc,var/lib/velorin}
  local d
  for d in bin sbin lib lib64; do ln -s "usr/$d" "$stage/$d"; done
  ln -s ../run "$stage/var/run"
  cp "$busybox" "$stage/bin/busybox"
  ln -s busybox "$stage/bin/sh"
  copy_with_libs "$velorin" velorin
  copy_with_libs "$sim" velorin-sim
  local extra file deb pkg path paths
  declare -A root_of
  # Every package first, so that each program finds the libraries of all.
  for deb in ${debs[@]+"${debs[@]}"}; do
    pkg=${deb%%:*}
    [ -n "${root_of[$pkg]:-}" ] || { fetch_deb "$pkg"; root_of[$pkg]=$deb_root; }
  done
  for deb in ${debs[@]+"${debs[@]}"}; do
    pkg=${deb%%:*} paths=()
    if [ "$deb" = "$pkg" ]; then
      for path in "${root_of[$pkg]}"/* "${root_of[$pkg]}"/usr/*; do
        path=${path#"${root_of[$pkg]}"/}
        case $path in usr | usr/share) ;; *) paths+=("./$path") ;; esac
      done
    else
      IFS=, read -r -a paths <<<"${deb#*:}"
      paths=("${paths[@]/#\//./}")
    fi
    lay "${root_of[$pkg]}" "${paths[@]}"
  done
  for extra in ${extras[@]+"${extras[@]}"}; do
    [ -x "$extra" ] || { echo "bench.sh: $extra is missing or not executable" >&2; exit 2; }
    copy_with_libs "$extra" "$(basename "$extra")"
  done
  for file in ${files[@]+"${files[@]}"}; do
    mkdir -p "$stage$(dirname "${file#*:}")"
    cp -L "${file%%:*}" "$stage${file#*:}"
  done
  if [ -n "$install" ]; then
    rm -rf "$work/install"
    DESTDIR="$work/install" cmake --install "$install" --prefix /usr >"$work/install.log" ||
      { cat "$work/install.log" >&2; echo "bench.sh: cmake --install $install failed" >&2; exit 2; }
    lay "$work/install"
  fi
  cp "$kernel_dir"/modules/*.ko "$stage/lib/modules/"
  cp "$here/guest/init" "$stage/init"
  cp "$here/guest/lib.sh" "$stage/bench-lib.sh"
  cp "$here/../support/harness.sh" "$stage/harness.sh"
  cp "$checks" "$stage/checks.sh"
  chmod 755 "$stage/init"
  (cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio"
}

fetch_kernel
build_initramfs

# TCG, not KVM: a KVM boot hangs on this kind of machine. The guest prints its
# own verdict; QEMU's exit status says nothing about the checks.
console="$work/console.log"
status=0
timeout --kill-after=5 "$limit" qemu-system-x86_64 \
  -accel tcg -smp 2 -m 512 -nodefaults -display none -no-reboot \
  -serial stdio -kernel "$kernel_dir/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 loglevel=4 velorin_buses=$buses" </dev/null | stdbuf -oL tr -d '\r' | tee "$console" || status=$?
finished=$(date +%s.%N)

summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$console" | tail -n 1 || true)
printf 'bench: %s s wall time\n' "$(awk -v a="$started" -v b="$finished" 'BEGIN { printf "%.1f", b - a }')"
if [ -z "$summary" ]; then
  echo "bench: no result line from the guest (QEMU status $status)"
  exit 1
fi
read -r passed _ failed _ <<<"$summary"
if [ "$failed" -ne 0 ] || [ "$passed" -eq 0 ]; then
  exit 1
fi
exit 0
