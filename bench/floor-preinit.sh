#!/bin/busybox sh
# shellcheck shell=dash # busybox ash, which dash's rules cover
# /etc/preinit of bench/floor_bench.sh's disk. The first action stamps the
# kernel log (ash's builtin echo: one write, no new process), on the clock
# of the kernel's "Run /init" line. Next come the read counters of every
# disk, before anything else reads one. The kernel's reads of this script,
# of busybox and of /dev/kmsg's directory entry come before them, alike in
# every boot; mounting sysfs reads no disk, and the counters are read by
# the shell itself (the read builtin). The one new process, the mount,
# runs the busybox binary the shell already runs; pages of it not read yet
# would come from the disk, also alike in every boot.
echo QVFLOOR-PREINIT >/dev/kmsg
bb=/bin/busybox
$bb mount -t sysfs sysfs /sys
# Each disk's stat line: reads completed, reads merged, sectors read, ...
for disk in /sys/block/*; do
  [ -r "$disk/stat" ] || continue
  read -r line <"$disk/stat"
  echo "QVFLOOR-STAT ${disk##*/} $line"
done
$bb mount -t proc proc /proc
# The root: the last mount on / (the initial RAM disk may show below it).
root=
while read -r device dir type rest; do
  [ "$dir" = / ] && root="$device $type"
done </proc/mounts
echo "QVFLOOR-ROOT $root"
echo "QVFLOOR-PID $$"
$bb sync
$bb poweroff -f
# Where powering off is not wired up, a reset ends QEMU (-no-reboot).
$bb reboot -f
