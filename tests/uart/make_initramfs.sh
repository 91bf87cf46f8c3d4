#!/usr/bin/env bash
# make_initramfs.sh OUT BUSYBOX LOOPTEST UART_PROBE [MODULES [PROGRAM...]]: a gzipped cpio with
# busybox, the init, looptest with the shared libraries it needs (none when static), and the
# probe, all built for the guest's processor; with MODULES, a folder of kernel modules and their
# load order (MODULES/order), also those modules, the mdev rules for USB serial adapters
# (dist/mdev/mdev.conf) and the static PROGRAMs. Where one is missing there is no OUT, and OUT.missing says why: the
# tests on it then skip, saying so.
set -euo pipefail
out=$1 busybox=$2 looptest=$3 probe=$4 modules=${5:-}
programs=("${@:6}")
rm -f "$out" "$out.missing"
mkdir -p "$(dirname "$out")"
missing() {
  echo "make_initramfs: $*" | tee "$out.missing"
  exit 0
}
command -v cpio >/dev/null || missing "cpio is missing (tests/uart/setup.sh installs it)"
[[ -x $busybox ]] || missing "no busybox at $busybox (tests/uart/setup.sh fetches it)"
[[ -x $looptest ]] || missing "no looptest at $looptest (the build makes the armhf one when" \
  "CMake finds g++-arm-linux-gnueabihf; tests/uart/setup.sh installs it)"
[[ -x $probe ]] || missing "no uart_probe at '$probe'"
[[ -z $modules || -s $modules/order ]] ||
  missing "no kernel modules at $modules (tests/uart/setup.sh fetches them)"
here=$(dirname "$0")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp}
cp "$busybox" "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
cp "$looptest" "$root/bin/looptest"
cp "$probe" "$root/bin/uart_probe"
chmod 755 "$root/init" "$root/bin/"*
if [[ -n $modules ]]; then
  mkdir -p "$root/lib/modules" "$root/etc"
  cp "$modules"/*.ko "$modules/order" "$root/lib/modules/"
  cp "$here/../../dist/mdev/mdev.conf" "$root/etc/mdev.conf"
  for program in "${programs[@]}"; do
    [[ -x $program ]] || missing "no $program"
    cp "$program" "$root/bin/"
  done
fi
# The loader and the libraries ldd names, at the paths it names.
for library in $(ldd "$looptest" 2>/dev/null | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
