#!/bin/busybox sh
# shellcheck shell=dash # busybox ash, which dash's rules cover
# /etc/preinit of bench/boot_bench.sh's disk. The first action stamps the
# kernel log: a builtin echo, one write and no new process, on the clock
# of the kernel's "Run /init" line. /proc/uptime follows; it needs /proc
# mounted first, so it ends a few milliseconds later.
echo QVBENCH-PREINIT >/dev/kmsg
bb=/bin/busybox
$bb mount -t proc proc /proc
read -r up _ </proc/uptime
echo "QVBENCH-UPTIME $up"
# Cross-check of the two clocks: a kernel stamp between two uptime reads.
read -r before _ </proc/uptime
echo QVBENCH-SYNC >/dev/kmsg
read -r after _ </proc/uptime
echo "QVBENCH-SYNC-UPTIME $before $after"
$bb awk '$2 == "/" { print "QVBENCH-ROOT " $1 " " $3 }' /proc/mounts
$bb sync
$bb poweroff -f
# Where powering off is not wired up, a reset ends QEMU (-no-reboot).
$bb reboot -f
