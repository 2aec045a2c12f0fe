# Shared helpers of the system tests. Every test runs in a mount namespace
# of its own, on a tmpfs that it mounted itself: nothing it mounts, makes or
# deletes can reach the host's file systems.

SKIP=77
failures=0

note() { printf '%s\n' "$*" >&2; }
fail() { note "FAIL: $*"; failures=$((failures + 1)); }
pass() { note "ok: $*"; }

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
  if [ "$2" == "$3" ]; then pass "$1"; else
    fail "$1"; note "  expected: $(printf '%q' "$2")"; note "  actual:   $(printf '%q' "$3")"
  fi
}

require_root_namespaces() {
  [ "$(id -u)" = 0 ] || { note "SKIP: needs root"; exit $SKIP; }
  unshare --mount --pid --fork true 2>/dev/null ||
    { note "SKIP: no mount and PID namespaces here"; exit $SKIP; }
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
run_pid1() {
  timeout --kill-after=5 "${PID1_TIMEOUT:-60}" \
    unshare --pid --fork --kill-child -- chroot "$RAMDISK" "$@" \
    >"$WORK/stdout" 2>"$WORK/stderr"
  echo $? >"$WORK/status"
}

# Mount points below $RAMDISK, as "<path inside> <type>" lines.
ramdisk_mounts() {
  awk -v r="$RAMDISK" '
    { for (i = 7; $i != "-"; i++) ; type = $(i + 1) }
    index($5, r "/") == 1 { print substr($5, length(r) + 1), type }' /proc/self/mountinfo
}

finish() {
  if [ "$failures" -gt 0 ]; then note "$failures check(s) failed"; exit 1; fi
  exit 0
}
