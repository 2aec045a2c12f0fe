#!/usr/bin/env bash
# Cost of one wait-loop pass (block device scan plus mount attempt) while
# the root device is absent, with 8, 32 and 128 block devices present:
# loop devices, each with a GPT and one partition, made for the run and
# removed after. Runs the release driver as process 1 in private
# namespaces, like the system tests. Needs root.
# Usage: bench/wait_loop_bench.sh [DRIVER] [PASSES]
#   DRIVER: a root_driver binary; by default the release one is built in
#   build/bench-release.
set -u
cd "$(dirname "$0")/.." || exit 1
tools/install-deps.sh build test || exit 1
if [ -n "${1:-}" ]; then
  DRIVER=$(realpath "$1") || exit 1
else
  cmake -S . -B build/bench-release -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build build/bench-release -j"$(nproc)" --target root_driver >/dev/null ||
    { echo "cannot build the release driver" >&2; exit 1; }
  DRIVER=$PWD/build/bench-release/tests/root_driver
fi
PASSES=${2:-200}
# shellcheck source=tools/lib/pid1.sh
. tools/lib/pid1.sh
start_disk_test "$DRIVER" "$PASSES"

# One small image, copied for each loop device.
truncate -s 2M "$DISKDIR/template.img"
printf 'label: gpt\nstart=2048, size=1024\n' | sfdisk -q "$DISKDIR/template.img" >/dev/null
mkfs.ext4 -q -F -E offset=$((2048 * 512)) "$DISKDIR/template.img" 512 >/dev/null 2>&1

host_devices=$(ls /sys/class/block | wc -l)
attached=0
printf '%-8s %-9s %-12s %-14s %-14s %-12s\n' added "in sysfs" "first pass" "pass median" "per device" "pass range"
for devices in 8 32 128; do
  while [ $((attached * 2)) -lt "$devices" ]; do
    cp "$DISKDIR/template.img" "$DISKDIR/d$attached.img"
    attach_loop "$DISKDIR/d$attached.img" || { note "cannot attach loop device $attached"; exit 1; }
    attached=$((attached + 1))
  done
  new_ramdisk
  fill_ramdisk "$DRIVER"
  PID1_TIMEOUT=600 run_pid1 /driver bench "$PASSES" "root=PARTUUID=00000000-0000-0000-0000-00000000dead"
  first=$(awk '/^first pass us:/ {print $4}' "$WORK/stdout")
  read -r median min max < <(awk '/^later pass us:/ {print $5, $7, $9}' "$WORK/stdout")
  total=$(($(ls /sys/class/block | wc -l)))
  printf '%-8s %-9s %-12s %-14s %-14s %-12s\n' "$devices" "$total" "${first} us" "${median} us" \
    "$((median / total)) us" "${min}-${max} us"
  drop_ramdisk
done
note "this machine's own block devices: $host_devices; per-device figures divide by all in sysfs"
