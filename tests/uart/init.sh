#!/bin/busybox sh
# The guest's init: serial ports as /dev/tep/a4, a5, a6 (ttyS1, ttyS2, ttyS3), then one
# command per line from the console on ttyS0, each answered by its output and "@@ STATUS".
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/tep /tmp
echo 0 >/proc/sys/kernel/printk
ln -s /dev/ttyS1 /dev/tep/a4
ln -s /dev/ttyS2 /dev/tep/a5
ln -s /dev/ttyS3 /dev/tep/a6
stty -F /dev/ttyS0 raw -echo
echo "@@ ready" >/dev/ttyS0
while IFS= read -r line; do
  sh -c "$line" </dev/null
  echo "@@ $?"
done </dev/ttyS0 >/dev/ttyS0 2>&1
poweroff -f
