#!/usr/bin/env bash
# The host's part of bench/wait_pass_bench.sh: the driver as process 1 in
# private namespaces over a tmpfs RAM disk (tools/lib/pid1.sh), with 8, 32
# and 128 block devices added: loop devices, each with a GPT and one ext4
# partition, made for the run and detached on any exit. Appends one row
# per count to TSV. Needs root.
# Usage: bench/wait_pass_host.sh DRIVER PASSES TSV
set -u
cd "$(dirname "$0")/.." || exit 1
[ $# -eq 3 ] || { echo "usage: $0 DRIVER PASSES TSV" >&2; exit 2; }
DRIVER=$(realpath "$1") PASSES=$2 TSV=$(realpath "$3")
# shellcheck source=tools/lib/pid1.sh
. tools/lib/pid1.sh
# shellcheck source=bench/lib.sh
. bench/lib.sh
start_disk_test "$@"

# One small image, copied for each loop device.
truncate -s 2M "$DISKDIR/template.img"
printf 'label: gpt\nstart=2048, size=1024\n' | sfdisk -q "$DISKDIR/template.img" >/dev/null
mkfs.ext4 -q -F -E offset=$((2048 * 512)) "$DISKDIR/template.img" 512 >/dev/null 2>&1

attached=0
for devices in 8 32 128; do
  while [ $((attached * 2)) -lt "$devices" ]; do
    cp "$DISKDIR/template.img" "$DISKDIR/d$attached.img"
    attach_loop "$DISKDIR/d$attached.img" || { note "cannot attach loop device $attached"; exit 1; }
    attached=$((attached + 1))
  done
  new_ramdisk
  fill_ramdisk "$DRIVER"
  PID1_TIMEOUT=600 run_pid1 /driver bench "$PASSES" "root=PARTUUID=00000000-0000-0000-0000-00000000dead"
  figures=$(bench_pass_figures "$WORK/stdout") ||
    { note "no figures from the driver:"; cat "$WORK/stdout" "$WORK/stderr" >&2; exit 1; }
  printf 'host\t%s\t%s\t%s\t%s\t%s\n' "$devices" "$(ls /sys/class/block | wc -l)" \
    "$PASSES" "$DRIVER" "${figures// /$'\t'}" >>"$TSV"
  drop_ramdisk
done
