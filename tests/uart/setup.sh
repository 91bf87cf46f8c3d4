#!/usr/bin/env bash
# setup.sh [DIR]: what the emulated-UART tests need, from Debian's archive: qemu, a static
# busybox, cpio, and a guest kernel with the 8250 driver built in, unpacked into DIR (default
# build/uart) as DIR/vmlinuz. Nothing under /boot changes.
set -euo pipefail
dir=$(realpath -m "${1:-build/uart}")
mkdir -p "$dir"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends qemu-system-x86 busybox-static cpio
if [[ ! -s $dir/vmlinuz ]]; then
  image=$(apt-cache depends linux-image-cloud-amd64 | grep -o 'linux-image-[0-9][^ ]*' | head -n 1)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # apt's own user must be able to write where the package lands.
  chmod 777 "$work"
  (cd "$work" && apt-get download -q "$image")
  dpkg-deb -x "$work"/*.deb "$work/root"
  grep -q '^CONFIG_SERIAL_8250=y' "$work"/root/boot/config-* ||
    { echo "setup: $image has no built-in 8250 driver" >&2; exit 1; }
  cp "$work"/root/boot/vmlinuz-* "$dir/vmlinuz"
fi
echo "guest kernel: $dir/vmlinuz"
