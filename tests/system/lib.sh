# shellcheck shell=bash
# Shared helpers of the system tests: checks and the test disk, over the
# harness of tools/lib/pid1.sh.
# shellcheck disable=SC2034 # the identifiers are for the tests

# shellcheck source=tools/lib/pid1.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/lib/pid1.sh"

failures=0
fail() { note "FAIL: $*"; failures=$((failures + 1)); }
pass() { note "ok: $*"; }

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [ "$2" == "$3" ]; then pass "$1"; else
    fail "$1"
    note "  expected: $(printf '%q' "$2" | head -c 400)"
    note "  actual:   $(printf '%q' "$3" | head -c 400)"
    return 1
  fi
}

# Mount points below $RAMDISK, as "<path inside> <type>" lines.
# A /proc lent to a sanitized build shows as a second proc mount; uniq
# folds it into the program's own.
ramdisk_mounts() {
  awk -v r="$RAMDISK" '
    { for (i = 7; $i != "-"; i++) ; type = $(i + 1) }
    index($5, r "/") == 1 { print substr($5, length(r) + 1), type }' /proc/self/mountinfo | uniq
}

# The options of the file system mounted last on each mount point below
# $RAMDISK, as "<path inside> <options>" lines in mount order.
ramdisk_mount_options() {
  awk -v r="$RAMDISK" '
    index($5, r "/") == 1 { p = substr($5, length(r) + 1)
                            if (!(p in opts)) order[n++] = p; opts[p] = $6 }
    END { for (i = 0; i < n; i++) print order[i], opts[order[i]] }' /proc/self/mountinfo
}

# What the purge leaves of a RAM disk: the new root's mount point, and a
# /proc lent to a sanitized build.
emptied_listing() {
  if [ "$SANITIZED" = yes ]; then echo "proc root"; else echo "root"; fi
}

# The lines a sanitizer runtime adds when it starts without /proc.
sanitizer_notes() {
  grep -v -e '^==[0-9]*==WARNING' -e '^False positive error reports may follow' \
    -e '^For details see '
}

finish() {
  if [ "$failures" -gt 0 ]; then note "$failures check(s) failed"; exit 1; fi
  exit 0
}

# Fixed identities of the test disk, so that every link name is known.
DISK_LABEL_ID=5f2c6a1e-7d3b-4c8e-9a10-00000000d15c
ROOT_PARTUUID=5f2c6a1e-7d3b-4c8e-9a10-000000000001
PLAIN_PARTUUID=5f2c6a1e-7d3b-4c8e-9a10-000000000002
EMPTY_PARTUUID=5f2c6a1e-7d3b-4c8e-9a10-000000000003
SPARE_PARTUUID=5f2c6a1e-7d3b-4c8e-9a10-000000000004
ROOT_FS_UUID=0e1f2a3b-4c5d-4e6f-8a9b-0c1d2e3f4a5b
PLAIN_FS_UUID=1e1f2a3b-4c5d-4e6f-8a9b-0c1d2e3f4a5b
SPARE_FS_UUID=2e1f2a3b-4c5d-4e6f-8a9b-0c1d2e3f4a5b

# make_test_disk IMAGE: a GPT disk with
#   p1 ext4 root: /etc/preinit (records its arguments), /bin/busybox
#   p2 ext2 without /etc/preinit
#   p3 no file system at all
#   p4 ext2 with the same /etc/preinit, large enough to serve as an old
#      root with libraries
# Sets DISK to its loop device and NAME to that device's name.
make_test_disk() {
  local image=$1 tree
  # The file tree is built next to the image, on the test's own tmpfs.
  tree=$(mktemp -d "$(dirname "$image")/tree.XXXXXX") || return 1
  truncate -s 128M "$image"
  sfdisk -q "$image" >/dev/null <<EOT
label: gpt
label-id: $DISK_LABEL_ID
start=2048, size=40960, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=$ROOT_PARTUUID
size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=$PLAIN_PARTUUID
size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=$EMPTY_PARTUUID
size=163840, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=$SPARE_PARTUUID
EOT
  attach_loop "$image" || return 1
  DISK=$LOOP_DEV
  NAME=${DISK#/dev/}
  wait_for_partitions "$DISK" 4 || { note "partitions of $DISK did not appear"; return 1; }

  mkdir -p "$tree/etc" "$tree/bin"
  cp /bin/busybox "$tree/bin/busybox"
  cat >"$tree/etc/preinit" <<'EOT'
#!/bin/busybox sh
echo "preinit ran as $$ with: $*"
echo "$*" >/preinit.args
EOT
  chmod 755 "$tree/etc/preinit"
  mkfs.ext4 -q -F -U "$ROOT_FS_UUID" -d "$tree" "${DISK}p1" >/dev/null
  mkfs.ext2 -q -F -U "$PLAIN_FS_UUID" "${DISK}p2" >/dev/null
  mkfs.ext2 -q -F -U "$SPARE_FS_UUID" -d "$tree" "${DISK}p4" >/dev/null
  rm -rf "$tree"
}

# The entries of a directory on one line, hidden ones and the library
# folders that install_program brings along for dynamic builds included.
# shellcheck disable=SC2011 # names of the RAM disk's own making, no blanks
listing() { ls -A "$1" | xargs; }

# Every path under a directory on its own file system, sorted: what must
# survive a run whole, down to the last file.
tree_of() { (cd "$1" && find . -mindepth 1 -xdev | sort); }

# The file system mounted last on a directory, as "<type> <source>".
top_mount() {
  awk -v m="$1" '$5 == m { for (i = 7; $i != "-"; i++) ; line = $(i + 1) " " $(i + 2) } END { print line }' /proc/self/mountinfo
}

# Bind-mounts the RAM disk's file system at $WORK/view, so that what the
# purge left can be seen after the new root was moved on top of it.
view_ramdisk() {
  mkdir -p "$WORK/view"
  mount --bind "$RAMDISK" "$WORK/view"
}

# What the program said on standard error, less what is not its own
# doing: e2fsck's version lines, and probes of this machine's own disks,
# which the namespace's sysfs lists too and which may not be opened here.
own_stderr() {
  grep -v -e '^e2fsck [0-9]' -e '^Failed open /dev/' "$WORK/stderr" | sanitizer_notes
  grep '^Failed open /dev/' "$WORK/stderr" | grep -F "/dev/${NAME:-?}"
}

# The test disk of make_test_disk, in $DISKDIR; ends the test if it
# cannot be made.
use_test_disk() {
  make_test_disk "$DISKDIR/disk.img" || { note "cannot make the test disk"; exit 1; }
}

# write_luks_header IMAGE UUID: a LUKS1 header whose UUID field holds any
# text, as a crafted disk could carry it.
write_luks_header() {
  local image=$1
  put() { printf "$2" | dd of="$image" bs=1 seek="$1" conv=notrunc status=none; }
  truncate -s 4M "$image"
  put 0 'LUKS\272\276\000\001'
  put 8 'aes'
  put 40 'xts-plain64'
  put 72 'sha256'
  put 104 '\000\000\020\000'
  put 108 '\000\000\000\100'
  printf '%s' "$2" | dd of="$image" bs=1 seek=168 conv=notrunc status=none
}

# How often e2fsck checked a file system, from what it printed.
check_count() { grep -c '^Pass 1: ' "$WORK/stdout"; }
