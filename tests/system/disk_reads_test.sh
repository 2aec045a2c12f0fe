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

# reads_during PASSES: the disk's read requests during one run of that many
# wait-loop passes with the root absent. The cache starts cold: the last
# holder of the disk closed it, which drops it. A run that did not time its
# passes (a driver that failed, or did nothing) counts as no figure at all.
reads_during() {
  local before after
  before=$(awk '{ print $1 }' "/sys/block/$NAME/stat")
  new_ramdisk
  fill_ramdisk "$DRIVER"
  run_pid1 /driver bench "$1" "root=PARTUUID=00000000-0000-0000-0000-00000000dead"
  after=$(awk '{ print $1 }' "/sys/block/$NAME/stat")
  if [ "$(cat "$WORK/status")" != 0 ] || ! grep -q '^first pass us: [0-9]' "$WORK/stdout" ||
     { [ "$1" -gt 1 ] && ! grep -q '^later pass us: median [0-9]' "$WORK/stdout"; }; then
    note "  $1 pass(es): status $(cat "$WORK/status"), output:"
    sed 's/^/    /' "$WORK/stdout" "$WORK/stderr" | head -n 20 >&2
    echo "no figure"
  else
    echo $((after - before))
  fi
  drop_ramdisk
}

first=$(reads_during 1)
many=$(reads_during 30)
if [[ $many =~ ^[0-9]+$ ]]; then
  expect_eq "passes after the first read nothing" "$first" "$many"
else
  fail "passes after the first read nothing: the 30 passes gave no figure"
fi
# Five devices: the disk and its four partitions. Each is read at least
# once from a cold cache; probed without a prefetch, each costs 20 to 35
# requests.
if [[ $first =~ ^[0-9]+$ ]] && [ "$first" -ge 5 ] && [ "$first" -le 50 ]; then
  pass "first pass: $first read requests for five devices"
else
  fail "first pass: $first read requests for five devices, not within 5 to 50"
fi
finish
