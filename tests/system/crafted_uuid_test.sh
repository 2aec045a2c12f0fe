#!/usr/bin/env bash
# Disks whose headers carry UUIDs that are no single path component must
# get no link: "../../planted" would otherwise plant /dev/planted.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"

# uuid | where its link would land without the guard (relative to the RAM
# disk's /dev/disk/by-uuid), which must stay empty. Each of these the
# kernel would make: names it refuses by itself ("..", "a/b" with no
# directory a) would prove nothing here.
crafted=(
  "../../planted|../../planted"
  "../evil|../evil"
  "./dotted|dotted"
  ".//double|double"
  "../by-uuid/back|back"
)
devices=()
for row in "${crafted[@]}" "crafted-ok|"; do
  IFS='|' read -r uuid _ <<<"$row"
  image="$DISKDIR/luks.$((${#devices[@]}))"
  write_luks_header "$image" "$uuid"
  attach_loop "$image" || { fail "attach $image"; finish; }
  devices+=("$LOOP_DEV")
done

new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver scan
expect_eq "crafted: scan result" "scan result 0" "$(grep "^scan result" "$WORK/stdout")"
byuuid="$RAMDISK/dev/disk/by-uuid"
expect_eq "crafted: a plain UUID is linked (the header is read)" \
  "${devices[-1]}" "$(readlink "$byuuid/crafted-ok")"
for row in "${crafted[@]}"; do
  IFS='|' read -r uuid link <<<"$row"
  expect_eq "crafted '$uuid': no link" "" \
    "$(find "$byuuid/$link" -maxdepth 0 -type l 2>/dev/null)"
done
expect_eq "crafted: nothing planted under /dev" "" \
  "$(find "$RAMDISK/dev" -type l ! -path '*/dev/disk/by-uuid/*' ! -path '*/dev/disk/by-partuuid/*')"
expect_eq "crafted: every link under by-uuid is one plain name" "" \
  "$(find "$byuuid" -mindepth 1 \( -type d -o -name '.*' \))"
expect_eq "crafted: nothing said" "" "$(own_stderr)"
drop_ramdisk

# --- A UUID stored in capitals (as FAT and NTFS serials are) typed in
# lower case: the root path names the link ignoring case, so the check runs
# on that device (which holds no file system, so the wait goes on).
image="$DISKDIR/luks.upper"
write_luks_header "$image" "CAFE0123-UPPER-CASE"
attach_loop "$image" || { fail "attach $image"; finish; }
new_ramdisk
fill_ramdisk "$DRIVER"
PID1_TIMEOUT=4 run_pid1 /driver boot "root=UUID=cafe0123-upper-case rootfstype=ext4" /init
expect_eq "lower case for a link in capitals: still waiting" 137 "$(cat "$WORK/status")"
expect_eq "lower case for a link in capitals: the link" "$LOOP_DEV" \
  "$(readlink "$RAMDISK/dev/disk/by-uuid/CAFE0123-UPPER-CASE")"
checked=$(cat "$WORK/stdout" "$WORK/stderr" | grep -cE "$LOOP_DEV([^0-9p]|\$)")
[ "$checked" -ge 1 ] && pass "lower case for a link in capitals: e2fsck checks $LOOP_DEV" ||
  fail "lower case for a link in capitals: e2fsck never named $LOOP_DEV"

drop_ramdisk

# --- Two devices whose UUIDs differ only in case, and a root= that matches
# neither exactly: the root's ext4 (lower case) and a LUKS header with the
# same UUID in capitals. Which one readdir yields first depends on the
# kernel, so neither is checked or mounted: the wait goes on, silently.
use_test_disk
image="$DISKDIR/luks.twin"
write_luks_header "$image" "${ROOT_FS_UUID^^}"
attach_loop "$image" || { fail "attach $image"; finish; }
twin=$LOOP_DEV
typed=${ROOT_FS_UUID:0:1}${ROOT_FS_UUID:1:1}
typed=${typed^^}${ROOT_FS_UUID:2}
new_ramdisk
fill_ramdisk "$DRIVER"
PID1_TIMEOUT=6 run_pid1 /driver boot "root=UUID=$typed" /init
expect_eq "two case variants: still waiting" 137 "$(cat "$WORK/status")"
expect_eq "two case variants: both linked" "/dev/${NAME}p1 $twin" \
  "$(readlink "$RAMDISK/dev/disk/by-uuid/$ROOT_FS_UUID" "$RAMDISK/dev/disk/by-uuid/${ROOT_FS_UUID^^}" | xargs)"
expect_eq "two case variants: nothing checked" 0 "$(check_count)"
expect_eq "two case variants: nothing mounted" "tmpfs quenvale-ramdisk" "$(top_mount "$RAMDISK")"
# (Standard output is a file here, still buffered when the run is killed.)
expect_eq "two case variants: nothing said" "" "$(own_stderr)"
drop_ramdisk
finish
