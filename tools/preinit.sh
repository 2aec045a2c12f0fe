#!/bin/busybox sh
# shellcheck shell=dash # busybox ash, which dash's rules cover
# /etc/preinit of the disks that the boot tests, the benchmarks and the
# demo boot (tools/make-disk.sh). Every line it prints starts QUENVALE-.
# The order is what the benchmarks need: first the stamp, then the disks'
# read counters before anything else reads a disk; the checks of the
# tests come after, then the machine ends.
#
# A stamp on the kernel's clock, where the disk carries a /dev/kmsg node:
# a builtin echo, one write and no new process, so that the boot can be
# timed from the kernel's "Run /init" line to here.
kmsg=
[ -c /dev/kmsg ] && kmsg=/dev/kmsg
[ -n "$kmsg" ] && echo "QUENVALE-STAMP preinit" >$kmsg
bb=/bin/busybox
# Each disk's stat line: reads completed, reads merged, sectors read, ...
# The one process before it, the mount, runs the busybox binary that the
# shell already runs; the shell reads the counters itself.
$bb mount -t sysfs sysfs /sys
for disk in /sys/block/*; do
  [ -r "$disk/stat" ] || continue
  read -r line <"$disk/stat"
  echo "QUENVALE-STAT ${disk##*/} $line"
done
$bb mount -t proc proc /proc
read -r up _ </proc/uptime
echo "QUENVALE-UPTIME $up"
# Cross-check of the two clocks: a kernel stamp between two uptime reads.
if [ -n "$kmsg" ]; then
  read -r before _ </proc/uptime
  echo "QUENVALE-STAMP sync" >$kmsg
  read -r after _ </proc/uptime
  echo "QUENVALE-SYNC-UPTIME $before $after"
fi
echo "QUENVALE-PREINIT-OK args: $*"
echo "QUENVALE-PID $$"
# Root device, type and the options it was mounted with; the initial RAM
# disk may show below the root, so the last line is the root.
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
