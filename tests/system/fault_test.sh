#!/usr/bin/env bash
# Faults around the root device, each with the outcome the program
# promises: disks that come late or go away, disks without a partition
# table, duplicate UUIDs, a damaged root, a missing checker, and block
# nodes that cannot be made.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"

use_test_disk

# A bare ext4 file system, no partition table, with a preinit of its own.
BARE_FS_UUID=3e1f2a3b-4c5d-4e6f-8a9b-0c1d2e3f4a5b
tree=$(mktemp -d "$DISKDIR/tree.XXXXXX")
mkdir -p "$tree/etc" "$tree/bin"
cp /bin/busybox "$tree/bin/busybox"
printf '#!/bin/busybox sh\necho "bare preinit ran"\n' >"$tree/etc/preinit"
chmod 755 "$tree/etc/preinit"
truncate -s 16M "$DISKDIR/bare.img"
mkfs.ext4 -q -F -U "$BARE_FS_UUID" -d "$tree" "$DISKDIR/bare.img" >/dev/null
cp "$DISKDIR/bare.img" "$DISKDIR/twin.img"

# --- The root disk shows up only after the wait began, while another disk
# is attached and detached again and again under the running scans.
losetup -d "$DISK"; LOOPS=()
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver boot "root=PARTUUID=$ROOT_PARTUUID" /init late &
pid1_job=$!
sleep 1
for _ in $(seq 15); do
  attach_loop "$DISKDIR/twin.img" && losetup -d "$LOOP_DEV"
  # shellcheck disable=SC2034 # detached here already, not by detach_loops
  LOOPS=()
  sleep 0.1
done
attach_loop "$DISKDIR/disk.img"
wait "$pid1_job"
expect_eq "late disk: status" 0 "$(cat "$WORK/status")"
expect_eq "late disk: waits once" 1 "$(grep -c '^Waiting for root' "$WORK/stdout")"
expect_eq "late disk: preinit ran" "preinit ran as 1 with: late" "$(grep '^preinit ran' "$WORK/stdout")"
DISK=$LOOP_DEV
# shellcheck disable=SC2034 # read by own_stderr
NAME=${DISK#/dev/}
drop_ramdisk

# --- No partition table: a by-uuid link for the whole device, no
# by-partuuid link, and it boots by UUID.
attach_loop "$DISKDIR/bare.img"; BARE=${LOOP_DEV#/dev/}
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver scan
expect_eq "bare disk: by-uuid link" "/dev/$BARE" "$(readlink "$RAMDISK/dev/disk/by-uuid/$BARE_FS_UUID")"
expect_eq "bare disk: no by-partuuid link" "" \
  "$(cd "$RAMDISK/dev/disk/by-partuuid" && for l in *; do readlink "$l"; done | grep -x "/dev/$BARE")"
drop_ramdisk
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver boot "root=UUID=$BARE_FS_UUID" /init
expect_eq "bare disk: boots" "0 bare preinit ran" "$(cat "$WORK/status") $(grep '^bare preinit' "$WORK/stdout")"
drop_ramdisk

# --- Two file systems with one UUID: the link names the first one noded,
# which is the first of the two in sysfs directory order.
attach_loop "$DISKDIR/twin.img"; TWIN=${LOOP_DEV#/dev/}
# shellcheck disable=SC2010 # the order ls -U gives is the point
first=$(ls -U /sys/class/block | grep -x -m1 -e "$BARE" -e "$TWIN")
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver scan
expect_eq "duplicate UUID: first noded keeps the link" "/dev/$first" \
  "$(readlink "$RAMDISK/dev/disk/by-uuid/$BARE_FS_UUID")"
expect_eq "duplicate UUID: nothing said" "" "$(own_stderr)"
drop_ramdisk

# --- A damaged root is repaired by the check before it is mounted.
debugfs -w -R "set_inode_field /etc/preinit links_count 5" "${DISK}p1" >/dev/null 2>&1
e2fsck -fn "${DISK}p1" >/dev/null 2>&1 && fail "damaged root: the damage did not take"
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver boot "root=PARTUUID=$ROOT_PARTUUID" /init
expect_eq "damaged root: status" 0 "$(cat "$WORK/status")"
expect_eq "damaged root: repaired" 1 "$(grep -c 'FILE SYSTEM WAS MODIFIED' "$WORK/stdout")"
expect_eq "damaged root: preinit ran" "preinit ran as 1 with: " "$(grep '^preinit ran' "$WORK/stdout")"
drop_ramdisk
e2fsck -fn "${DISK}p1" >/dev/null 2>&1 && pass "damaged root: clean afterwards" || fail "damaged root: clean afterwards"

# --- No /bin/e2fsck: the child says so, the mount is still tried, and the
# parent's pending output is not printed twice by the child's exit.
new_ramdisk
fill_ramdisk "$DRIVER"
rm "$RAMDISK/bin/e2fsck"
run_pid1 /driver boot "root=PARTUUID=$ROOT_PARTUUID" /init
expect_eq "no checker: status" 0 "$(cat "$WORK/status")"
expect_eq "no checker: message" 1 "$(grep -c 'execl failed' "$WORK/stdout")"
expect_eq "no checker: waits once" 1 "$(grep -c 'Waiting for root' "$WORK/stdout")"
expect_eq "no checker: preinit ran" 1 "$(grep -c 'preinit ran as 1' "$WORK/stdout")"
drop_ramdisk

# --- Block nodes that cannot be made: the scan fails with the node's
# error, and the wait goes on without ever trying a mount.
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver --deny-block-nodes scan
expect_eq "no block nodes: scan result" "1 scan result -1" \
  "$(cat "$WORK/status") $(grep '^scan result' "$WORK/stdout")"
expect_eq "no block nodes: no link made" "" "$(ls -A "$RAMDISK/dev/disk/by-uuid")"
drop_ramdisk
new_ramdisk
fill_ramdisk "$DRIVER"
PID1_TIMEOUT=4 run_pid1 /driver --deny-block-nodes boot "root=PARTUUID=$ROOT_PARTUUID" /init
expect_eq "no block nodes: still waiting" 137 "$(cat "$WORK/status")"
expect_eq "no block nodes: never checked or mounted" "0 " \
  "$(grep -c 'e2fsck' "$WORK/stderr") $(ls -A "$RAMDISK/root")"
drop_ramdisk

# --- A medium changed during the wait: the wait holds no partition open
# from one pass to the next, so the old partitions can be dropped and the
# new table read, and the root on the new medium boots. As the kernel does
# on a changed medium (which this machine's kernel, without partition
# parsers, cannot show on a loop device), every old partition is deleted
# first, which fails with EBUSY while one is open, and the new ones added
# after (partx). Held partitions made that fail for ever. The root's
# partition may come back under another device number than its name had
# (kernel 6.18 does not give a freed number out again at once), which
# leaves the node the scan made for the old card stale; so that every
# kernel shows this, the test turns that node into one of a number no
# block device has (major 0) while the card has no partitions. The scan
# must make it anew.
. "$(dirname "$0")/../../tools/lib/disk-ids.sh"
card_root=$DISKDIR/card-root.img
printf '#!/bin/busybox sh\necho "card preinit ran"\n' >"$DISKDIR/card-preinit"
"$(dirname "$0")/../../tools/make-disk.sh" "$card_root" /bin/busybox \
  --preinit "$DISKDIR/card-preinit" --size 32 2>/dev/null ||
  { fail "changed medium: cannot make the new card"; finish; }
truncate -s 32M "$DISKDIR/card.img"
sfdisk -q "$DISKDIR/card.img" >/dev/null <<EOT
label: gpt
start=2048, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=6b1d2e3f-4a5b-4c6d-8e7f-000000000001
size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=6b1d2e3f-4a5b-4c6d-8e7f-000000000002
EOT
attach_loop "$DISKDIR/card.img" || { fail "changed medium: attach"; finish; }
CARD=$LOOP_DEV
wait_for_partitions "$CARD" 2 || fail "changed medium: the old card's partitions did not appear"
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver boot "root=PARTUUID=$PART_UUID" /init &
pid1_job=$!
sleep 1
dd if="$card_root" of="$CARD" bs=1M conv=fsync status=none
reread=no
# A scan may have a partition open for a moment: the deletion is tried
# again.
card_parts() { ls -d /sys/block/"${CARD#/dev/}"/"${CARD#/dev/}"p* 2>/dev/null | wc -l; }
for _ in $(seq 50); do
  partx -d "$CARD" 2>/dev/null
  if [ "$(card_parts)" = 0 ]; then
    rm -f "$RAMDISK/dev/${CARD#/dev/}p1"
    mknod "$RAMDISK/dev/${CARD#/dev/}p1" b 0 1
    partx -a "$CARD" 2>/dev/null && reread=yes
    break
  fi
  sleep 0.1
done
expect_eq "changed medium: the new partition table is read" yes "$reread"
wait "$pid1_job"
expect_eq "changed medium: boots from the new card" "0 card preinit ran" \
  "$(cat "$WORK/status") $(grep '^card preinit ran' "$WORK/stdout")" ||
  { tail -n 5 "$WORK/stdout" "$WORK/stderr" | sed 's/^/    /' >&2; }
drop_ramdisk

# --- /dev/disk or /dev/disk/by-uuid cannot be made: the scan says which
# and why, and fails before any block node is made.
# driver option | message
dir_faults=(
  "--read-only-dev|create /dev/disk directory failed:Read-only file system"
  "--dev-disk-file|create /dev/disk/by-uuid directory failed:Not a directory"
)
for row in "${dir_faults[@]}"; do
  IFS='|' read -r option message <<<"$row"
  new_ramdisk
  fill_ramdisk "$DRIVER"
  run_pid1 /driver "$option" scan
  expect_eq "$option: scan result" "1 scan result -1" \
    "$(cat "$WORK/status") $(grep '^scan result' "$WORK/stdout")"
  expect_eq "$option: message" "$message" "$(own_stderr)"
  expect_eq "$option: no block node made" "" "$(find "$RAMDISK/dev" -type b)"
  drop_ramdisk
done

finish
