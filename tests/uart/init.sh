#!/bin/busybox sh
# The guest's init: serial ports as /dev/tep/a4, a5, a6 (the board's second to fourth UART,
# named by uart= on the kernel's command line: ttyS on a PC, ttyAMA for PL011s), then one
# command per line from the console on the first, each answered by its output and "@@ STATUS".
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/tep /tmp
echo 0 >/proc/sys/kernel/printk
tty=/dev/${uart:-ttyS}
ln -s "${tty}1" /dev/tep/a4
ln -s "${tty}2" /dev/tep/a5
ln -s "${tty}3" /dev/tep/a6
stty -F "${tty}0" raw -echo
echo "@@ ready" >"${tty}0"
while IFS= read -r line; do
  sh -c "$line" </dev/null
  echo "@@ $?"
done <"${tty}0" >"${tty}0" 2>&1
poweroff -f
