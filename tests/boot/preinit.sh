#!/bin/busybox sh
# /etc/preinit of the boot tests' root file system. Reports what the test
# checks on the console, then ends the machine.
# First, where the disk carries a /dev/kmsg node: a stamp on the kernel's
# clock (a shell builtin and one write, no new process), so the boot can
# be timed from the kernel's partition line to here.
[ -c /dev/kmsg ] && echo "QUENVALE-STAMP preinit" >/dev/kmsg
bb=/bin/busybox
$bb mount -t proc proc /proc
$bb mount -t sysfs sysfs /sys
echo "QUENVALE-PREINIT-OK args: $*"
echo "QUENVALE-PID $$"
# Root device, type and the options it was mounted with.
$bb awk '$2 == "/" { print "QUENVALE-ROOT " $1 " " $3 }' /proc/mounts
depth=/sys/module/virtio_blk/parameters/queue_depth
[ -r $depth ] && echo "QUENVALE-PARAM queue_depth=$($bb cat $depth)"
$bb sync
$bb poweroff -f
# Where powering off is not wired up, a reset ends QEMU (-no-reboot).
$bb reboot -f
