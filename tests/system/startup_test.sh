#!/usr/bin/env bash
# The real init binary as process 1 up to the command-line step: refusing
# to run as any other process, the pseudo file systems, the built-in nodes.
set -u
INIT_BINARY=$(realpath "$1")
. "$(dirname "$0")/lib.sh"

require_root_namespaces
enter_private_namespace "$@"
trap drop_ramdisk EXIT

# Not process 1: refuses at once, mounts nothing.
out=$("$INIT_BINARY" 2>"/tmp/quenvale-notpid1.$$"); status=$?
expect_eq "not PID 1: status" 255 "$status"
expect_eq "not PID 1: message" "must run PID 1" "$(cat "/tmp/quenvale-notpid1.$$")"
expect_eq "not PID 1: nothing on stdout" "" "$out"
rm -f "/tmp/quenvale-notpid1.$$"


# The host's kernel command line is what this process 1 reads; it decides
# where the start stops.
if grep -q 'root=' /proc/cmdline; then
  cmdline_stop=$'/etc/quenvale_list not found\nfailed to load kmods'
else
  cmdline_stop=$'root args error\ncmdline format error'
fi

new_ramdisk
install_program "$INIT_BINARY" init
run_pid1 /init
expect_eq "full ramdisk: status" 255 "$(cat "$WORK/status")"
expect_eq "full ramdisk: stops at the command line" "$cmdline_stop" "$(own_stderr)"
expect_eq "full ramdisk: pseudo file systems" \
  $'/proc proc\n/sys sysfs\n/dev tmpfs' "$(ramdisk_mounts)"
expect_eq "full ramdisk: mount flags" \
  $'/proc rw,nosuid,nodev,noexec,relatime\n/sys rw,nosuid,nodev,noexec,relatime\n/dev rw,relatime' \
  "$(ramdisk_mount_options)"
expect_eq "full ramdisk: built-in nodes" \
  $'666 character special file 5:0 /dev/tty
622 character special file 5:1 /dev/console
666 character special file 1:3 /dev/null
666 character special file 1:5 /dev/zero' \
  "$(cd "$RAMDISK" && for n in tty console null zero; do stat -c '%a %F %t:%T /dev/%n' "dev/$n" | sed 's| /dev/dev/| /dev/|'; done)"
drop_ramdisk

new_ramdisk
install_program "$INIT_BINARY" init
rmdir "$RAMDISK/proc"
run_pid1 /init
expect_eq "no /proc: status" 255 "$(cat "$WORK/status")"
expect_eq "no /proc: message" "mount ramdisk fs failed:No such file or directory" "$(own_stderr)"
expect_eq "no /proc: nothing mounted" "" "$(ramdisk_mounts)"
drop_ramdisk

new_ramdisk
install_program "$INIT_BINARY" init
rmdir "$RAMDISK/dev"
run_pid1 /init
expect_eq "no /dev: status" 255 "$(cat "$WORK/status")"
expect_eq "no /dev: message" "mount ramdisk fs failed:No such file or directory" "$(own_stderr)"
expect_eq "no /dev: proc and sys stay mounted" $'/proc proc\n/sys sysfs' "$(ramdisk_mounts)"
drop_ramdisk

finish
