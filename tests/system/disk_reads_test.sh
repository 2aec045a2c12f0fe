#!/usr/bin/env bash
# What the scans read from a disk: each device they probe is read in a few
# large requests rather than dozens of small ones, and a wait-loop pass
# after the first reads nothing at all, since the devices probed stay open
# and their partition tables cached. Counted by the kernel (the disk's
# completed read requests, its partitions' included), so free of timing.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"
use_test_disk

# One run of 30 wait-loop passes with the root absent, from a cold cache
# (the last holder of the disk closed it, which drops it). The driver reads
# the disk's completed requests (its partitions' included) after the first
# pass and after the last, once the count has settled: counts of the same
# run, which neither the machine's load nor the timing of the prefetch can
# shift from one figure to the other.
run_passes() {
  before=$(awk '{ print $1 }' "/sys/block/$NAME/stat")
  new_ramdisk
  fill_ramdisk "$DRIVER"
  run_pid1 /driver bench 30 "root=PARTUUID=00000000-0000-0000-0000-00000000dead" \
    "/sys/block/$NAME/stat"
  after_first=$(sed -n 's/^reads after the first pass: \([0-9][0-9]*\)$/\1/p' "$WORK/stdout")
  after_last=$(sed -n 's/^reads after the last pass: \([0-9][0-9]*\)$/\1/p' "$WORK/stdout")
  # A driver that failed, or timed no pass, gives no figure at all.
  if [ "$(cat "$WORK/status")" != 0 ] || [ -z "$after_first" ] || [ -z "$after_last" ] ||
     ! grep -q '^later pass us: median [0-9]' "$WORK/stdout"; then
    fail "the driver ran no passes: status $(cat "$WORK/status")"
    sed 's/^/    /' "$WORK/stdout" "$WORK/stderr" | head -n 20 >&2
    finish
  fi
  drop_ramdisk
}
run_passes
# A page the machine reclaimed from the held disk is read again by a later
# pass; a pass that reads by itself does so on every run.
if [ "$after_last" != "$after_first" ]; then
  note "later passes read $((after_last - after_first)) request(s); once more"
  run_passes
fi
first=$((after_first - before))
expect_eq "passes after the first read nothing" 0 $((after_last - after_first))
# Five devices: the disk and its four partitions. Each is read at least
# once from a cold cache; probed without a prefetch, each costs 20 to 35
# requests.
if [ "$first" -ge 5 ] && [ "$first" -le 50 ]; then
  pass "first pass: $first read requests for five devices"
else
  fail "first pass: $first read requests for five devices, not within 5 to 50"
fi
finish
