#!/usr/bin/env bash
# Two disks with the same identifiers, as a board has when one image is
# written to its eMMC and to an SD card: the device linked first keeps its
# by-uuid and its by-partuuid link on every later pass, and the boot
# mounts the device its link names.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"
use_test_disk
sync
cp "$DISKDIR/disk.img" "$DISKDIR/clone.img"
attach_loop "$DISKDIR/clone.img" || { fail "attach the clone"; finish; }
CLONE=$LOOP_DEV
wait_for_partitions "$CLONE" 4 || { fail "partitions of $CLONE did not appear"; finish; }
note "test disk $DISK, its clone $CLONE"

# The root's two links, as "UUID-TARGET PARTUUID-TARGET".
root_links() {
  echo "$(readlink "$RAMDISK/dev/disk/by-uuid/$ROOT_FS_UUID")" \
       "$(readlink "$RAMDISK/dev/disk/by-partuuid/$ROOT_PARTUUID")"
}

new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver scan
first=$(root_links)
drop_ramdisk
read -r by_uuid by_partuuid <<<"$first"
# The first of the two in the order the scans read sysfs (unsorted, as
# readdir yields it): the by-uuid pass walks /sys/class/block, the
# by-partuuid pass the disks of /sys/block.
first_listed() {
  # shellcheck disable=SC2010 # the order ls -U gives is the point
  ls -U "$1" | grep -m 1 -x -e "$2" -e "$3"
}
expect_eq "one scan: by-uuid names the first root noded" \
  "/dev/$(first_listed /sys/class/block "${DISK#/dev/}p1" "${CLONE#/dev/}p1")" "$by_uuid"
expect_eq "one scan: by-partuuid names the first disk's root" \
  "/dev/$(first_listed /sys/block "${DISK#/dev/}" "${CLONE#/dev/}")p1" "$by_partuuid"

# Thirty passes with the root absent, the held devices released and taken
# between them as in the wait: the links the first pass made stay.
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver bench 30 "root=PARTUUID=00000000-0000-0000-0000-00000000dead"
expect_eq "thirty passes: the status" 0 "$(cat "$WORK/status")"
expect_eq "thirty passes: the first pass's links kept" "$first" "$(root_links)"
drop_ramdisk

# root form | the device its link names
for row in "PARTUUID=$ROOT_PARTUUID|$by_partuuid" "UUID=$ROOT_FS_UUID|$by_uuid"; do
  IFS='|' read -r root device <<<"$row"
  new_ramdisk
  fill_ramdisk "$DRIVER"
  run_pid1 /driver boot "root=$root" /init
  expect_eq "root=$root: preinit ran" "preinit ran as 1 with: " \
    "$(grep '^preinit ran' "$WORK/stdout")"
  expect_eq "root=$root: the linked device mounted" "ext4 $device" "$(top_mount "$RAMDISK")"
  expect_eq "root=$root: checked once" 1 "$(check_count)"
  drop_ramdisk
done

finish
