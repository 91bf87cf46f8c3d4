#!/bin/busybox sh
# The guest's init: serial ports as /dev/tep/a4, a5, a6, then one command per line from the
# console on the first UART, each answered by its output and "@@ STATUS".
#   UARTs: a4 to a6 are the board's second to fourth UART, named by uart= on the kernel's
#   command line (ttyS on a PC, ttyAMA for PL011s).
#   USB serial adapters, where the initramfs has modules (/lib/modules/order): mdev, as a
#   daemon that takes the kernel's device events in their order, and its rules
#   (/etc/mdev.conf) make /dev/tep/a4 and a5 for the adapters on USB ports 1 and 2, as a system
#   with mdev does; the links follow an adapter that is unplugged and plugged in again.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/tep /tmp
echo 0 >/proc/sys/kernel/printk
tty=/dev/${uart:-ttyS}
if [ -f /lib/modules/order ]; then
  # A daemon, as Debian's kernels (like many) have no hot-plug helper to call.
  mdev -d
  for module in $(cat /lib/modules/order); do insmod "/lib/modules/$module"; done
  for i in $(seq 100); do [ -e /dev/tep/a4 ] && [ -e /dev/tep/a5 ] && break; sleep 0.1; done
else
  ln -s "${tty}1" /dev/tep/a4
  ln -s "${tty}2" /dev/tep/a5
  ln -s "${tty}3" /dev/tep/a6
fi
stty -F "${tty}0" raw -echo
echo "@@ ready" >"${tty}0"
# The commands are read by a process of their own, not by init: the background jobs of a
# command outlive it and pass to init, and their end, a signal to init, would interrupt its
# read of the next command, whose first bytes busybox's read then throws away.
while IFS= read -r line; do
  sh -c "$line" </dev/null
  echo "@@ $?"
done <"${tty}0" >"${tty}0" 2>&1 &
wait $!
poweroff -f
