#!/usr/bin/env bash
# setup.sh [DIR]: what the emulated-UART tests need, from Debian's archive, into DIR (default
# build/uart); nothing under /boot changes.
#   A PC with 16550 UARTs: qemu-system-x86, a static busybox, and a kernel with the 8250
#   driver built in (DIR/vmlinuz).
#   An ARM board (vexpress-a9) with PL011 UARTs: qemu-system-arm, the armhf cross compiler
#   (the tests build the static armhf looptest), and in DIR/armhf Debian's armhf kernel with
#   the PL011 driver built in, the board's device tree and a static armhf busybox.
set -euo pipefail
dir=$(realpath -m "${1:-build/uart}")
mkdir -p "$dir/armhf"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  apt-get update -q
fi
apt-get install -y -q --no-install-recommends qemu-system-x86 qemu-system-arm busybox-static \
  cpio g++-arm-linux-gnueabihf

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's own user must be able to write where the packages land.
chmod 777 "$work"

# unpack PACKAGE: the package's files under $work/PACKAGE.
unpack() {
  (cd "$work" && apt-get download -q "$1")
  dpkg-deb -x "$work/${1%%:*}"_*.deb "$work/$1"
}
# kernel_of META: the kernel package a Debian kernel meta-package stands for.
kernel_of() { apt-cache depends "$1" | grep -o 'linux-image-[0-9][^ :]*' | head -n 1; }
# built_in DRIVER ROOT: the unpacked kernel has DRIVER built in, not as a module.
built_in() {
  grep -q "^CONFIG_$1=y" "$2"/boot/config-* ||
    { echo "setup: the kernel in $2 has no built-in $1 driver" >&2; exit 1; }
}

if [[ ! -s $dir/vmlinuz ]]; then
  image=$(kernel_of linux-image-cloud-amd64)
  unpack "$image"
  built_in SERIAL_8250 "$work/$image"
  cp "$work/$image"/boot/vmlinuz-* "$dir/vmlinuz"
fi
echo "PC kernel: $dir/vmlinuz"

if [[ ! -s $dir/armhf/vmlinuz || ! -s $dir/armhf/vexpress-v2p-ca9.dtb ]]; then
  image=$(kernel_of linux-image-armmp:armhf)
  unpack "$image:armhf"
  built_in SERIAL_AMBA_PL011 "$work/$image:armhf"
  cp "$work/$image:armhf"/boot/vmlinuz-* "$dir/armhf/vmlinuz"
  cp "$work/$image:armhf"/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$dir/armhf/"
fi
if [[ ! -x $dir/armhf/busybox ]]; then
  unpack busybox-static:armhf
  cp "$work/busybox-static:armhf/bin/busybox" "$dir/armhf/busybox"
fi
echo "ARM board: $dir/armhf/vmlinuz, vexpress-v2p-ca9.dtb and busybox"
