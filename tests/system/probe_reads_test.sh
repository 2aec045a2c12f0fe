#!/usr/bin/env bash
# The prefetch foresees the UUID probe's reads: on disks and partitions of
# the sizes where libblkid's reads move (an external XFS log from 10 MiB,
# ZFS labels from 64 MiB, RAID superblocks aligned to the end), the probe
# after the prefetch sends no read request of its own, and on a device
# with no file system (where the probe reads the most) the prefetch reads
# only a few pages the probe does not. Counted in the page cache and the
# kernel's read counters (tests/system/probe_reads.cpp), so free of timing;
# a libblkid that reads elsewhere fails here before it slows a boot.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"

# Pages the prefetch may read that the probe does not, on a blank device:
# the gaps it reads through rather than send one more request.
MAX_EXTRA_BLANK=8

# probe_case NAME DEVICE STAT BLANK: runs the driver on DEVICE, checks it.
# The plan covers the probe's pages or not, every time; a request of the
# probe's own can also come from the machine (a prefetch page reclaimed,
# or a read-ahead the kernel gave up under memory pressure), so only one
# that comes again on a second run from a cold cache fails.
probe_case() {
  local name=$1 device=$2 stat=$3 blank=$4 out try
  for try in 1 2; do
    out=$("$DRIVER" "$device" "$stat") || { fail "$name: driver failed"; return; }
    note "$name: $(tr '\n' ' ' <<<"$out")"
    if [ "$(value left-cached)" != 0 ]; then
      fail "$name: the probe's pages stayed cached after the last close"
      return
    fi
    expect_eq "$name: every page the probe reads is in the plan" 0 "$(value unplanned-pages)"
    [ "$(value unplanned-pages)" = 0 ] || break
    [ "$(value probe-requests)" = 0 ] && break
    [ "$try" = 1 ] && note "$name: the probe sent $(value probe-requests) request(s); once more"
  done
  expect_eq "$name: the probe sends no request of its own" 0 "$(value probe-requests)"
  if [ "$blank" = blank ] && [ "$(value extra-pages)" -gt "$MAX_EXTRA_BLANK" ]; then
    fail "$name: $(value extra-pages) pages read that the probe does not read"
  fi
}
value() { awk -v k="$1" '$1 == k { print $2 }' <<<"$out"; }

# whole_disk NAME BYTES: a disk with nothing on it.
whole_disk() {
  local image=$DISKDIR/$1.img
  truncate -s "$2" "$image"
  attach_loop "$image" || { fail "$1: attach"; return; }
  probe_case "$1" "$LOOP_DEV" "/sys/block/${LOOP_DEV#/dev/}/stat" blank
}

# partition NAME SECTORS FORMAT: a GPT disk whose one partition of SECTORS
# holds FORMAT (blank, ext4 or vfat).
partition() {
  local image=$DISKDIR/$1.img name
  truncate -s $(($2 * 512 + 2 * 1024 * 1024)) "$image"
  printf 'label: gpt\nstart=2048, size=%d\n' "$2" | sfdisk -q "$image" >/dev/null
  case $3 in
    ext4) mkfs.ext4 -q -F -E offset=$((2048 * 512)) "$image" $(($2 / 2)) >/dev/null 2>&1 ;;
    vfat) mkfs.vfat --offset 2048 "$image" $(($2 / 2)) >/dev/null 2>&1 ;;
  esac
  attach_loop "$image" || { fail "$1: attach"; return; }
  wait_for_partitions "$LOOP_DEV" 1 || { fail "$1: no partition"; return; }
  name=${LOOP_DEV#/dev/}
  probe_case "$1" "${LOOP_DEV}p1" "/sys/block/$name/${name}p1/stat" "$3"
}

# Sizes either side of each place the reads change, and sizes off every
# alignment the end's areas keep (4 KiB, 64 KiB, 256 KiB).
whole_disk disk-floppy 1474560
whole_disk disk-floppy-more $((1474560 + 512))
whole_disk disk-8m $((8 * 1024 * 1024))
whole_disk disk-10m-less $((10 * 1024 * 1024 - 512))
whole_disk disk-10m $((10 * 1024 * 1024))
whole_disk disk-32m-odd $((32 * 1024 * 1024 + 3584))
whole_disk disk-64m-less $((64 * 1024 * 1024 - 512))
whole_disk disk-64m-odd $((64 * 1024 * 1024 + 36864))
whole_disk disk-1g-odd $((1024 * 1024 * 1024 + 4096 + 512))
partition part-6m $((6 * 2048)) blank
partition part-24m-odd $((24 * 2048 + 7)) blank
partition part-100m $((100 * 2048 + 127)) blank
partition part-ext4 $((24 * 2048)) ext4
partition part-vfat $((24 * 2048)) vfat
finish
