#!/usr/bin/env bash
# setup.sh [DIR]: what the emulated-UART tests need, from Debian's archive, into DIR (default
# build/uart); nothing under /boot changes.
#   A PC with 16550 UARTs: qemu-system-x86, a static busybox, and a kernel with the 8250
#   driver built in (DIR/vmlinuz).
#   An ARM board (vexpress-a9) with PL011 UARTs: qemu-system-arm, the armhf cross compiler
#   (the tests build the static armhf looptest), and in DIR/armhf Debian's armhf kernel with
#   the PL011 driver built in, the board's device tree and a static armhf busybox.
#   A PC with USB serial adapters (FTDI, behind an xHCI controller): in DIR/usb Debian's
#   generic kernel, which has USB as modules, and in DIR/usb/modules the modules the adapters
#   need, uncompressed (busybox insmod reads no compressed module), with their load order in
#   DIR/usb/modules/order.
set -euo pipefail
dir=$(realpath -m "${1:-build/uart}")
mkdir -p "$dir/armhf"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  apt-get update -q
fi
apt-get install -y -q --no-install-recommends qemu-system-x86 qemu-system-arm busybox-static \
  cpio g++-arm-linux-gnueabihf xz-utils

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
# configured OPTION VALUES ROOT: the unpacked kernel's OPTION is one of VALUES (y, m or both).
configured() {
  grep -Eq "^CONFIG_$1=[$2]$" "$3"/boot/config-* ||
    { echo "setup: the kernel in $3 lacks CONFIG_$1" >&2; exit 1; }
}
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

# The adapters' modules, each after the ones it needs.
usb_modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"
if [[ ! -s $dir/usb/vmlinuz || ! -s $dir/usb/modules/order ]]; then
  image=$(kernel_of linux-image-amd64)
  unpack "$image"
  root=$work/$image
  configured DEVTMPFS y "$root"
  configured USB_SERIAL_FTDI_SIO ym "$root"
  rm -rf "$dir/usb" && mkdir -p "$dir/usb/modules"
  for module in $usb_modules; do
    file=$(find "$root/lib/modules" -name "$module.ko" -o -name "$module.ko.xz" | head -n 1)
    [[ -n $file ]] || { echo "setup: the kernel in $root has no module $module" >&2; exit 1; }
    case $file in
      *.xz) xz -dc "$file" >"$dir/usb/modules/$module.ko" ;;
      *) cp "$file" "$dir/usb/modules/$module.ko" ;;
    esac
    echo "$module.ko" >>"$dir/usb/modules/order"
  done
  cp "$root"/boot/vmlinuz-* "$dir/usb/vmlinuz"
fi
echo "PC with USB serial adapters: $dir/usb/vmlinuz and $(wc -l <"$dir/usb/modules/order") modules"

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
