# shellcheck shell=bash
# Runs a program as process 1 of a private PID namespace, chrooted into a
# tmpfs "RAM disk" of its own, with loop-backed disks: the harness of the
# system tests (tests/system) and of the benchmarks that run the init so
# (bench/wait_pass_host.sh). Every run is in a mount namespace of its
# own, on a tmpfs that it mounted itself: nothing it mounts, makes or
# deletes can reach the host's file systems, and every loop device it
# attaches is detached on any exit.
# shellcheck disable=SC2034 # SKIP, SANITIZED, DISKDIR, ... are for callers

SKIP=77
SANITIZED=no

note() { printf '%s\n' "$*" >&2; }
# A machine without root, namespaces or loop devices cannot run these tests.
# CI's machine must: there (CI set to anything, as CI services set it to
# true or 1) a skip is a failure, so that CI is never green without them.
skip() {
  if [ -n "${CI:-}" ]; then note "FAIL: cannot run under CI: $*"; exit 1; fi
  note "SKIP: $*"
  exit $SKIP
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
