# Shared helpers of the system tests. Every test runs in a mount namespace
# of its own, on a tmpfs that it mounted itself: nothing it mounts, makes or
# deletes can reach the host's file systems.

SKIP=77
failures=0
SANITIZED=no

note() { printf '%s\n' "$*" >&2; }
fail() { note "FAIL: $*"; failures=$((failures + 1)); }
pass() { note "ok: $*"; }

# A machine without root, namespaces or loop devices cannot run these tests.
# CI's machine must: there (CI set to anything, as CI services set it to
# true or 1) a skip is a failure, so that CI is never green without them.
skip() {
  if [ -n "${CI:-}" ]; then note "FAIL: cannot run under CI: $*"; exit 1; fi
  note "SKIP: $*"
  exit $SKIP
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [ "$2" == "$3" ]; then pass "$1"; else
    fail "$1"
    note "  expected: $(printf '%q' "$2" | head -c 400)"
    note "  actual:   $(printf '%q' "$3" | head -c 400)"
    return 1
  fi
}

require_root_namespaces() {
  [ "$(id -u)" = 0 ] || skip "needs root"
  unshare --mount --pid --fork true 2>/dev/null ||
    skip "no mount and PID namespaces here"
}

# Re-runs the calling script inside a private mount namespace, once.
enter_private_namespace() {
  if [ -z "${QUENVALE_IN_NAMESPACE:-}" ]; then
    QUENVALE_IN_NAMESPACE=1 exec unshare --mount --propagation private -- "$BASH" "$0" "$@"
  fi
}

# A fresh tmpfs for one scenario: $WORK holds results, $RAMDISK the root.
new_ramdisk() {
  WORK=$(mktemp -d /tmp/quenvale-system.XXXXXX)
  mount -t tmpfs quenvale-work "$WORK"
  RAMDISK=$WORK/ramdisk
  mkdir "$RAMDISK"
  mount -t tmpfs quenvale-ramdisk "$RAMDISK"
  mkdir -p "$RAMDISK"/{proc,sys,dev,root,bin,etc}
}

# Unmounts everything under $WORK, deepest first, and removes it.
drop_ramdisk() {
  [ -n "${WORK:-}" ] || return 0
  local mp
  for mp in $(awk -v w="$WORK" '$5 == w || index($5, w "/") == 1 {print $5}' /proc/self/mountinfo | sort -r); do
    umount -l "$mp" 2>/dev/null
  done
  rmdir "$WORK" 2>/dev/null
  WORK=
}

# run_pid1 PROGRAM [ARGS...]: runs PROGRAM (a path inside $RAMDISK) as
# process 1 of a new PID namespace, chrooted into $RAMDISK. Leaves its
# standard output, standard error and exit status in $WORK.
#
# Sanitized builds read /proc from their first instruction on, before the
# program mounts its own; they get this namespace's /proc lent underneath
# (as does any run with LEND_PROC=yes), and check leaks at exit only then.
run_pid1() {
  local leaks=0
  if [ -d "$RAMDISK/proc" ] && { [ "$SANITIZED" = yes ] || [ "${LEND_PROC:-no}" = yes ]; }; then
    mount -t proc proc "$RAMDISK/proc"
    leaks=1
  fi
  # A run that hands over ends in the new root, where no /proc is left for
  # the leak checker; the leak test covers those steps with runs that exit.
  case " $* " in *" boot "*) leaks=0 ;; esac
  # Process 1 of a namespace ignores SIGTERM; only SIGKILL stops it. The
  # subshell keeps the shell's own "Killed" notice out of the test output.
  (ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=$leaks} \
   UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
   timeout --signal=KILL "${PID1_TIMEOUT:-30}" \
    unshare --pid --fork --kill-child -- chroot "$RAMDISK" "$@" \
    >"$WORK/stdout" 2>"$WORK/stderr"
  echo $? >"$WORK/status") 2>/dev/null
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

LOOPS=()

require_loop_devices() {
  losetup --find >/dev/null 2>&1 || skip "no free loop device"
}

# attach_loop IMAGE: sets LOOP_DEV; every device attached here is
# detached by detach_loops. Partitions are added by partx, which reads the
# table itself: a kernel without partition parsers still gets them.
attach_loop() {
  LOOP_DEV=$(losetup --find --show "$1") || return 1
  LOOPS+=("$LOOP_DEV")
  partx -a "$LOOP_DEV" 2>/dev/null
  return 0
}

detach_loops() {
  local dev
  for dev in "${LOOPS[@]}"; do
    partx -d "$dev" 2>/dev/null
    losetup -d "$dev" 2>/dev/null
  done
  LOOPS=()
}

wait_for_partitions() {
  local dev=$1 count=$2 i
  for i in $(seq 50); do
    [ "$(ls "$dev"p* 2>/dev/null | wc -l)" -ge "$count" ] && return 0
    sleep 0.1
  done
  return 1
}

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

# install_program SOURCE DEST: copies a program into the RAM disk, with
# the shared libraries of a dynamic (sanitized) build at their own paths.
install_program() {
  local lib
  ldd "$1" 2>/dev/null | grep -q libasan && SANITIZED=yes
  cp "$1" "$RAMDISK/$2"
  for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*'); do
    mkdir -p "$RAMDISK$(dirname "$lib")"
    cp -L "$lib" "$RAMDISK$lib"
  done
}

# The entries of a directory on one line, hidden ones and the library
# folders that install_program brings along for dynamic builds included.
listing() { ls -A "$1" | xargs; }

# Every path under a directory on its own file system, sorted: what must
# survive a run whole, down to the last file.
tree_of() { (cd "$1" && find . -mindepth 1 -xdev | sort); }

# A RAM disk as the image builder writes one: the program as /init (the
# driver also as /driver, which the tests run), the checker, the module
# list, the console node and a tree of module files under
# /lib/modules/VERSION, so that a purge that spares any part of a real
# image shows. The list stays empty: nothing may be loaded into this
# machine's kernel.
RAMDISK_MODULES="kernel/drivers/block/virtio_blk.ko kernel/drivers/virtio/virtio_pci.ko
  kernel/fs/ext4/ext4.ko kernel/fs/jbd2/jbd2.ko kernel/fs/mbcache.ko kernel/lib/crc16.ko
  kernel/crypto/crc32c_generic.ko"
fill_ramdisk() {
  local module tree
  install_program "$1" driver
  cp "$RAMDISK/driver" "$RAMDISK/init"
  cp /sbin/e2fsck.static "$RAMDISK/bin/e2fsck"
  : >"$RAMDISK/etc/quenvale_list"
  mknod -m 600 "$RAMDISK/dev/console" c 5 1
  tree=$RAMDISK/lib/modules/6.1.0-0-test
  for module in $RAMDISK_MODULES; do
    mkdir -p "$tree/$(dirname "$module")"
    printf '\177ELF\001\001\001%s' "$module" >"$tree/$module"
  done
}

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

# A tmpfs of its own for disk images, away from every RAM disk.
new_disk_dir() {
  DISKDIR=$(mktemp -d /tmp/quenvale-disk.XXXXXX)
  mount -t tmpfs quenvale-disk "$DISKDIR"
}

drop_disk_dir() {
  [ -n "${DISKDIR:-}" ] || return 0
  umount -l "$DISKDIR" 2>/dev/null
  rmdir "$DISKDIR" 2>/dev/null
  DISKDIR=
}

cleanup_all() {
  drop_ramdisk
  detach_loops
  drop_disk_dir
}

# The start of every test that uses disk images: re-runs the script in a
# private mount namespace, and undoes every mount and loop device on any
# exit. Pass the script's arguments.
# The test disk of make_test_disk, in $DISKDIR; ends the test if it
# cannot be made.
use_test_disk() {
  make_test_disk "$DISKDIR/disk.img" || { note "cannot make the test disk"; exit 1; }
}

start_disk_test() {
  require_root_namespaces
  enter_private_namespace "$@"
  require_loop_devices
  # The disks carry fixed UUIDs: two runs at once on one machine would see
  # each other's disks, so they take turns. The lock lives in /dev/shm,
  # which a run inside tools/fresh-debian.sh shares with the machine (its
  # /tmp is the fresh system's own).
  exec 9>/dev/shm/quenvale-disk-tests.lock
  flock 9
  trap cleanup_all EXIT
  new_disk_dir
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
