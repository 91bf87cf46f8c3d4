#!/usr/bin/env bash
# make_initramfs.sh OUT LOOPTEST UART_PROBE: a gzipped cpio with busybox, the init, looptest
# with the shared libraries it needs, and the probe.
set -euo pipefail
out=$1 looptest=$2 probe=$3
rm -f "$out"
for tool in /bin/busybox cpio; do
  if ! command -v "$tool" >/dev/null; then
    # No initramfs: the UART tests then skip, saying why.
    echo "make_initramfs: $tool is missing (tests/uart/setup.sh installs it)"
    exit 0
  fi
done
here=$(dirname "$0")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp}
cp /bin/busybox "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
cp "$looptest" "$root/bin/looptest"
cp "$probe" "$root/bin/uart_probe"
chmod 755 "$root/init" "$root/bin/"*
# The loader and the libraries ldd names, at the paths it names.
for library in $(ldd "$looptest" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
mkdir -p "$(dirname "$out")"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
