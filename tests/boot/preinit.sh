#!/bin/busybox sh
# shellcheck shell=dash # busybox ash, which dash's rules cover
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
# The root's superblock (1 KiB at 1 KiB), read through the partition and
# through its whole disk after the sync: the two views must agree, as they
# do when nothing held the disk before this stage. The nodes come from a
# devtmpfs, so that nothing is written to the root for the check.
part=$($bb awk '$2 == "/" { sub("^/dev/", "", $1); print $1 }' /proc/mounts)
if [ -r "/sys/class/block/$part/start" ]; then
  disk=$($bb basename "$($bb readlink -f "/sys/class/block/$part/..")")
  start=$($bb cat "/sys/class/block/$part/start")
  $bb mount -t devtmpfs devtmpfs /dev
  through_part=$($bb dd if="/dev/$part" bs=512 skip=2 count=2 2>/dev/null | $bb md5sum)
  through_disk=$($bb dd if="/dev/$disk" bs=512 skip=$((start + 2)) count=2 2>/dev/null | $bb md5sum)
  if [ "$through_part" = "$through_disk" ]; then
    echo "QUENVALE-VIEWS same"
  else
    echo "QUENVALE-VIEWS differ: $part ${through_part%% *}, $disk ${through_disk%% *}"
  fi
fi
# A test that looks at the machine in this stage (the monitor's eject
# request, say) asks for time with quenvale_linger=SECONDS.
linger=$($bb sed -n 's/.*quenvale_linger=\([0-9]*\).*/\1/p' /proc/cmdline)
if [ -n "$linger" ]; then
  echo "QUENVALE-LINGER $linger"
  $bb sleep "$linger"
fi
$bb poweroff -f
# Where powering off is not wired up, a reset ends QEMU (-no-reboot).
$bb reboot -f
