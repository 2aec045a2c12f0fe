#!/usr/bin/env bash
# Nothing leaks: the scan and the root mount, run to completion by a driver
# that then frees everything and exits, leave no descriptor open; in a
# sanitized build LeakSanitizer also checks every allocation and libblkid
# probe at exit, and any sanitizer report fails the test.
set -u
DRIVER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
start_disk_test "$@"
use_test_disk

sanitized=no
ldd "$DRIVER" 2>/dev/null | grep -q libasan && sanitized=yes
note "sanitized build: $sanitized"

sanitizer_reports() {
  grep -E 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$WORK/stderr" | head -5
}

# Runs that exit: every descriptor they opened is closed again.
runs=(
  "scan"
  "mount-only root=PARTUUID=$ROOT_PARTUUID"
  "mount-only root=UUID=$ROOT_FS_UUID rootfstype=ext2,ext4"
  "mount-only root=/dev/${NAME}p2 rootfstype=vfat,ext2"
  "mount-only root=${NAME}p1"
)
# The driver's first descriptor listing needs /proc before it mounts one.
# shellcheck disable=SC2034 # read by run_pid1
LEND_PROC=yes
for row in "${runs[@]}"; do
  read -r mode cmdline <<<"$row"
  new_ramdisk
  fill_ramdisk "$DRIVER"
  run_pid1 /driver $mode ${cmdline:+"$cmdline"}
  expect_eq "$row: status" 0 "$(cat "$WORK/status")"
  expect_eq "$row: no descriptor left open" \
    "$(sed -n 's/^fds at start:/open fds:/p' "$WORK/stdout")" \
    "$(grep '^open fds:' "$WORK/stdout")"
  expect_eq "$row: no sanitizer report" "" "$(sanitizer_reports)"
  drop_ramdisk
done

# The whole start with the purge; it ends in an exec, so only memory
# errors can show here, not leaks.
new_ramdisk
fill_ramdisk "$DRIVER"
run_pid1 /driver boot "root=PARTUUID=$ROOT_PARTUUID" /init
expect_eq "boot: status" 0 "$(cat "$WORK/status")"
expect_eq "boot: preinit ran" "preinit ran as 1 with: " "$(grep '^preinit ran' "$WORK/stdout")"
expect_eq "boot: no sanitizer report" "" "$(sanitizer_reports)"
drop_ramdisk
finish
