#!/usr/bin/env bash
# What the devices held during the wait leave behind once the root is
# mounted and the next stage runs: nothing. Every disk reads the same
# through its whole-disk node as through its partitions, though the check
# and the mount wrote to the root after the probes read it.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"
use_test_disk

# two_views PARTITION: "same" when the partition's superblock area (1 KiB
# at 1 KiB, ext4's), read through the partition and through the whole disk
# with buffered reads (the page cache of each), holds the same bytes; else
# a line on each.
# Written after a sync, as a backup taken by the next stage would be.
two_views() {
  local part=$1 start
  start=$(cat "/sys/class/block/${part#/dev/}/start")
  sync
  local through_part through_disk
  through_part=$(dd if="$part" bs=512 skip=2 count=2 status=none | sha256sum)
  through_disk=$(dd if="$DISK" bs=512 skip=$((start + 2)) count=2 status=none | sha256sum)
  if [ "$through_part" = "$through_disk" ]; then echo same; else
    echo "partition ${through_part%% *} disk ${through_disk%% *}"
  fi
}

# --- The root's superblock after the hand-over, once by each root form.
# The root stays mounted after the run (this namespace keeps it), as it
# does under the next stage: the whole disk is then still open, and only
# the init could have dropped what it cached.
for root in "PARTUUID=$ROOT_PARTUUID" "UUID=$ROOT_FS_UUID" "/dev/${NAME}p1"; do
  new_ramdisk
  fill_ramdisk "$DRIVER"
  run_pid1 /driver boot "root=$root" /init
  expect_eq "root=$root: preinit ran" "preinit ran as 1 with: " \
    "$(grep '^preinit ran' "$WORK/stdout")"
  expect_eq "root=$root: root mounted" "ext4 ${DISK}p1" "$(top_mount "$RAMDISK")"
  expect_eq "root=$root: the root reads the same through the disk" same \
    "$(two_views "${DISK}p1")"
  expect_eq "root=$root: the other partitions too" "same same same" \
    "$(for p in 2 3 4; do two_views "${DISK}p$p"; done | xargs)"
  drop_ramdisk
done

finish
