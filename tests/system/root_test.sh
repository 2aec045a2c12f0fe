#!/usr/bin/env bash
# The block device scan, the root mount and the hand-over, run as process 1
# in private namespaces over a loop-attached GPT disk and the real sysfs.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"
use_test_disk
note "test disk: $DISK"

# --- Scan: nodes for the disk and its partitions, and both kinds of link.
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver scan
expect_eq "scan: status" 0 "$(cat "$WORK/status")"
expect_eq "scan: result" "scan result 0" "$(grep "^scan result" "$WORK/stdout")"
for node in "$NAME" "${NAME}p1" "${NAME}p2" "${NAME}p3" "${NAME}p4"; do
  expect_eq "scan: node /dev/$node" \
    "755 block special file $(stat -c '%t:%T' "/dev/$node")" \
    "$(stat -c '%a %F %t:%T' "$RAMDISK/dev/$node")"
done
for row in "$ROOT_FS_UUID p1" "$PLAIN_FS_UUID p2" "$SPARE_FS_UUID p4"; do
  set -- $row
  expect_eq "scan: by-uuid link for $2" "/dev/${NAME}$2" \
    "$(readlink "$RAMDISK/dev/disk/by-uuid/$1")"
done
for row in "$ROOT_PARTUUID p1" "$PLAIN_PARTUUID p2" "$EMPTY_PARTUUID p3" "$SPARE_PARTUUID p4"; do
  set -- $row
  expect_eq "scan: by-partuuid link for $2" "/dev/${NAME}$2" \
    "$(readlink "$RAMDISK/dev/disk/by-partuuid/$1")"
done
expect_eq "scan: no by-uuid link for the empty partition or the disk" "" \
  "$(cd "$RAMDISK/dev/disk/by-uuid" && for l in *; do readlink "$l"; done | grep -E "^/dev/${NAME}(p3)?\$")"
expect_eq "scan: directory modes" "755 755 755" \
  "$(stat -c '%a' "$RAMDISK/dev/disk" "$RAMDISK/dev/disk/by-uuid" "$RAMDISK/dev/disk/by-partuuid" | xargs)"
drop_ramdisk

# --- Boots: every root form reaches /etc/preinit; type lists in order.
# name | command line | root device | mounted type | checks | preinit runs
boots=(
  "partuuid|console=ttyS0 root=PARTUUID=$ROOT_PARTUUID rootwait|p1|ext4|1|yes"
  "uuid|root=UUID=$ROOT_FS_UUID|p1|ext4|1|yes"
  "partuuid in capitals|root=PARTUUID=${ROOT_PARTUUID^^}|p1|ext4|1|yes"
  "uuid in capitals|root=UUID=${ROOT_FS_UUID^^}|p1|ext4|1|yes"
  "dev path|root=/dev/${NAME}p1|p1|ext4|1|yes"
  "bare name|quiet root=${NAME}p1|p1|ext4|1|yes"
  "ext2 before ext4 on ext4|root=PARTUUID=$ROOT_PARTUUID rootfstype=ext2,ext4|p1|ext4|1|yes"
  "ext2 first, unchecked|root=${NAME}p2 rootfstype=ext2|p2|ext2|0|no"
  "ext2 root, no check before the exec|root=PARTUUID=$SPARE_PARTUUID rootfstype=ext2|p4|ext2|0|yes"
  "ext2 disk as ext4, no preinit|root=UUID=$PLAIN_FS_UUID|p2|ext4|1|no"
)
for row in "${boots[@]}"; do
  IFS='|' read -r name cmdline part fstype checks preinit <<<"$row"
  new_ramdisk
  fill_ramdisk "$DRIVER"
  ln -s /root/etc/preinit "$RAMDISK/link-into-root"
  mkdir -p "$RAMDISK/etc/deep/er"; echo x >"$RAMDISK/etc/deep/er/.hidden"
  view_ramdisk
  run_pid1 /driver boot "$cmdline" /init console a=1 b
  expect_eq "$name: status" 0 "$(cat "$WORK/status")"
  root_path=$(awk '/^Waiting for root: / {print $4}' "$WORK/stdout")
  expect_eq "$name: waits once" 1 "$(grep -c '^Waiting for root: ' "$WORK/stdout")"
  expect_eq "$name: root mounted" "$fstype /dev/${NAME}$part" "$(top_mount "$RAMDISK")"
  expect_eq "$name: e2fsck runs" "$checks" "$(check_count)"
  expect_eq "$name: RAM disk emptied but for the mount point" "$(emptied_listing)" \
    "$(listing "$WORK/view")"
  if [ "$preinit" = yes ]; then
    expect_eq "$name: preinit ran as process 1 with the whole vector" \
      "preinit ran as 1 with: console a=1 b" "$(grep '^preinit ran' "$WORK/stdout")"
    expect_eq "$name: link target in the new root kept" yes \
      "$([ -x "$RAMDISK/etc/preinit" ] && echo yes)"
    expect_eq "$name: the next stage can write to its root" "console a=1 b" \
      "$(cat "$RAMDISK/preinit.args" 2>/dev/null)"
    rm -f "$RAMDISK/preinit.args"
  else
    expect_eq "$name: no preinit, nothing said" "" "$(own_stderr)"
  fi
  [ "$name" = partuuid ] && expect_eq "partuuid: root path" \
    "/dev/disk/by-partuuid/$ROOT_PARTUUID" "$root_path"
  # The path is the one typed; only the lookup ignores case.
  [ "$name" = "partuuid in capitals" ] && expect_eq "partuuid in capitals: root path" \
    "/dev/disk/by-partuuid/${ROOT_PARTUUID^^}" "$root_path"
  drop_ramdisk
done

# --- A device without a file system: every type fails, the loop goes on,
# and every pass checks it again. Nothing is deleted.
new_ramdisk
fill_ramdisk "$DRIVER"
before=$(tree_of "$RAMDISK")
PID1_TIMEOUT=8 run_pid1 /driver boot "root=/dev/${NAME}p3 rootfstype=ext2" /init
expect_eq "no file system: still waiting when stopped" 137 "$(cat "$WORK/status")"
expect_eq "no file system: waits once" "Waiting for root: /dev/${NAME}p3" \
  "$(grep '^Waiting' "$WORK/stdout")"
checks=$(grep -c 'Bad magic number in super-block' "$WORK/stderr")
[ "$checks" -ge 2 ] && pass "no file system: checked on every pass ($checks)" ||
  fail "no file system: checked on every pass ($checks)"
expect_eq "no file system: nothing at /root" "" "$(ls -A "$RAMDISK/root")"
# The killed run left its /dev over the RAM disk's own.
umount "$RAMDISK/dev" "$RAMDISK/proc" "$RAMDISK/sys"
expect_eq "no file system: RAM disk intact" "$before" "$(tree_of "$RAMDISK")"
drop_ramdisk

# --- /root that is no mount point: refused, nothing deleted.
new_ramdisk
fill_ramdisk "$DRIVER"
before=$(tree_of "$RAMDISK")
run_pid1 /driver hand-over /init
expect_eq "plain /root: status" 0 "$(cat "$WORK/status")"
expect_eq "plain /root: message" "/root must be a mountpoint" "$(own_stderr)"
expect_eq "plain /root: RAM disk intact" "$before" "$(tree_of "$RAMDISK")"
drop_ramdisk

# --- An old root that is no RAM disk is never purged.
new_ramdisk
umount "$RAMDISK"
mount "${DISK}p4" "$RAMDISK"
mkdir -p "$RAMDISK"/{proc,sys,dev,root,bin,etc}
fill_ramdisk "$DRIVER"
view_ramdisk
before=$(tree_of "$WORK/view")
run_pid1 /driver boot "root=PARTUUID=$ROOT_PARTUUID" /init
expect_eq "disk as old root: status" 0 "$(cat "$WORK/status")"
expect_eq "disk as old root: message" "/ is not a ramdisk, not purging" "$(own_stderr)"
expect_eq "disk as old root: new root entered" "ext4 /dev/${NAME}p1" "$(top_mount "$RAMDISK")"
expect_eq "disk as old root: preinit ran" "preinit ran as 1 with: " "$(grep '^preinit ran' "$WORK/stdout")"
expect_eq "disk as old root: nothing deleted" "$before" "$(tree_of "$WORK/view")"
drop_ramdisk

finish
