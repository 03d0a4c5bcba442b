#!/bin/bash
# Kernel test bench: boots Debian's own kernel under QEMU with virtual
# switches on emulated USB host controllers, and runs the built tool against
# them inside the guest. Needs no root: the kernel package is fetched with
# `apt-get download` and unpacked in a cache folder, the initramfs is built
# with cpio from a staging folder, and QEMU runs as a plain process.
#
# usage: bench.sh --velorin PATH --sim PATH --work DIR [--cache DIR] [--timeout S]
#                 [--checks FILE] [--buses N] [--extra PATH]... [--file SRC:DEST]...
#
# --checks runs another guest script in place of guest/checks.sh (sourced by
# the guest's init after the modules are loaded); --buses sets the number of
# emulated host controllers, one per virtual switch (default 7). --extra puts
# another program into the guest's /bin with the shared libraries it needs;
# --file copies a plain file to DEST in the guest.
#
# Prints the guest's console (each check, then "N passed, M failed") and exits
# 0 only when that closing line shows no failure and at least one pass.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
velorin="" sim="" work="" cache="${VELORIN_VM_CACHE:-}" limit=240
checks="$here/guest/checks.sh" buses=7
extras=() files=()

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
    *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$velorin" ] || [ -z "$sim" ] || [ -z "$work" ]; then
  echo "usage: bench.sh --velorin PATH --sim PATH --work DIR [--cache DIR]" >&2
  exit 2
fi
[ -n "$cache" ] || cache="$work/cache"
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
started=$(date +%s.%N)

# The modules the guest loads, in load order.
modules="usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs usbmon"

# --- kernel: resolve linux-image-amd64 to its versioned package, fetch once ---
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

fetch_kernel() {
  local pkg dir tmp deb payload off offsets
  pkg=$(kernel_package || true)
  if [ -z "$pkg" ]; then
    # No package lists (offline, or apt-get update never ran): use the newest cached one.
    pkg=$(find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' -printf '%f\n' 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$pkg" ] || { echo "bench.sh: cannot resolve linux-image-amd64 (run apt-get update)" >&2; exit 2; }
  fi
  dir="$cache/$pkg"
  if [ ! -f "$dir/ready" ]; then
    echo "bench: fetching $pkg into $cache" >&2
    rm -rf "$dir" "$cache/tmp"
    tmp="$cache/tmp"
    mkdir -p "$tmp/root" "$dir/modules"
    (cd "$tmp" && apt-get download -q "$pkg" >/dev/null 2>"$tmp/apt.err") ||
      { cat "$tmp/apt.err" >&2; echo "bench.sh: apt-get download $pkg failed" >&2; exit 2; }
    deb=$(ls "$tmp"/*.deb)
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp/root" --wildcards './boot/vmlinuz-*' \
      $(for m in $modules; do printf "./lib/modules/*/%s.ko " "$m"; done) 2>/dev/null ||
      dpkg-deb -x "$deb" "$tmp/root"
    for m in $modules; do
      find "$tmp/root/lib/modules" -name "$m.ko" -exec cp {} "$dir/modules/" \;
      [ -f "$dir/modules/$m.ko" ] || { echo "bench.sh: module $m not in $pkg" >&2; exit 2; }
    done
    # The bzImage decompresses itself slowly under emulation; the ELF kernel
    # inside it boots directly through its PVH entry. Find the compressed
    # payload by its magic and unpack the first one that yields an ELF file.
    payload=$(ls "$tmp"/root/boot/vmlinuz-*)
    mapfile -t offsets < <(LC_ALL=C grep -aboP '\xfd7zXZ\x00' "$payload" | cut -d: -f1)
    for off in "${offsets[@]}"; do
      tail -c +$((off + 1)) "$payload" | xz -dcq >"$dir/vmlinux" 2>/dev/null || true
      if [ "$(head -c 4 "$dir/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ]; then break; fi
      rm -f "$dir/vmlinux"
    done
    [ -f "$dir/vmlinux" ] || { echo "bench.sh: no xz-compressed ELF kernel found in $payload" >&2; exit 2; }
    rm -rf "$tmp"
    touch "$dir/ready"
  fi
  kernel_dir=$dir
}

# --- initramfs: busybox, modules, the tool and the virtual switch with their libraries ---
copy_with_libs() {  # copy_with_libs BINARY DEST_NAME
  local bin=$1 name=$2 lib
  cp -L "$bin" "$stage/bin/$name"
  for lib in $(ldd "$bin" 2>/dev/null | awk '/=> \// { print $3 } /^\t\// { print $1 }'); do
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
  done
}

build_initramfs() {
  stage="$work/stage"
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,dev,proc,sys,tmp,run,lib/modules,var/lib/velorin}
  cp "$busybox" "$stage/bin/busybox"
  ln -s busybox "$stage/bin/sh"
  copy_with_libs "$velorin" velorin
  copy_with_libs "$sim" velorin-sim
  local extra file
  for extra in ${extras[@]+"${extras[@]}"}; do
    [ -x "$extra" ] || { echo "bench.sh: $extra is missing or not executable" >&2; exit 2; }
    copy_with_libs "$extra" "$(basename "$extra")"
  done
  for file in ${files[@]+"${files[@]}"}; do
    mkdir -p "$stage$(dirname "${file#*:}")"
    cp -L "${file%%:*}" "$stage${file#*:}"
  done
  cp "$kernel_dir"/modules/*.ko "$stage/lib/modules/"
  cp "$here/guest/init" "$stage/init"
  cp "$here/guest/lib.sh" "$stage/bench-lib.sh"
  cp "$checks" "$stage/checks.sh"
  chmod 755 "$stage/init"
  (cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
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
