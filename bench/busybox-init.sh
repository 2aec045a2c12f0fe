#!/bin/busybox sh
# shellcheck shell=dash # busybox ash, which dash's rules cover
# /init of the comparison initramfs of bench/boot_bench.sh: the start-up
# job of quenvale-init done by busybox ash and busybox applets, so the
# benchmark has a plain-script baseline. The image holds this file as
# /init, a static busybox as /bin/busybox, /bin/e2fsck and the modules
# named by /etc/quenvale_list.
#
# Applets are called by name: this busybox runs them from inside the shell
# (no PATH search, no symlinks to make), but that needs /proc/self/exe, so
# the first mount names the binary.

fail() {
  echo "busybox-init: $*"
  # Process 1 ending makes the kernel panic, as quenvale-init does.
  exit 255
}

export PATH=/bin
/bin/busybox mount -t proc -o nosuid,nodev,noexec,relatime proc /proc ||
  fail "cannot mount /proc"
mount -t sysfs -o nosuid,nodev,noexec,relatime sysfs /sys ||
  fail "cannot mount /sys"
mount -t tmpfs -o relatime tmpfs /dev || fail "cannot mount /dev"

# mknod -m sets the mode as given, without the umask.
mknod -m 0666 /dev/tty c 5 0 &&
  mknod -m 0622 /dev/console c 5 1 &&
  mknod -m 0666 /dev/null c 1 3 &&
  mknod -m 0666 /dev/zero c 1 5 ||
  fail "cannot make the device nodes"

# The command line is split on blanks without globbing; the words after
# "--" belong to /init itself.
set -f
read -r cmdline </proc/cmdline
root=
fstype=ext4
for word in $cmdline; do
  case $word in
    --) break ;;
    root=*) root=${word#root=} ;;
    rootfstype=*) fstype=${word#rootfstype=} ;;
  esac
done
set +f
case $root in
  UUID=?*|LABEL=?*|/dev/?*) ;;
  "") fail "no root= on the kernel command line" ;;
  # busybox's findfs knows only these forms: anything else would be
  # waited for forever.
  *) fail "findfs cannot resolve root=$root" ;;
esac

# Module options are the arguments from the second on, as for
# quenvale-init; the whole vector still goes to /etc/preinit.
load_modules() {
  [ $# -gt 0 ] && shift
  while read -r module; do
    [ -n "$module" ] || continue
    insmod "$module" "$@" || fail "cannot load $module"
  done </etc/quenvale_list
}
load_modules "$@"

mdev -s || fail "mdev -s failed"
echo "Waiting for root: $root"
# No pause: the device may appear at any moment. findfs passes /dev/ names
# through unchecked, hence the -b test; mdev runs again each pass so that a
# late device gets its node.
until dev=$(findfs "$root" 2>/dev/null) && [ -b "$dev" ]; do
  mdev -s
done

# The checker's verdict is not looked at: the mount decides.
[ "$fstype" = ext4 ] && /bin/e2fsck -f -y "$dev"
mount -t "$fstype" -o relatime "$dev" /root || fail "cannot mount $dev as $fstype"
exec switch_root /root /etc/preinit "$@"
