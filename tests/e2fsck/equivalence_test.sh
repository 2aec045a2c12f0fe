#!/usr/bin/env bash
# Is the e2fsck built for the image the same checker as the machine's own?
#
#   tests/e2fsck/equivalence_test.sh [ARCH] [E2FSCK]
#
# E2FSCK defaults to build/musl-ARCH/e2fsck (tools/build-e2fsck.sh); those
# of other machines than x86_64 run under qemu-user. Each damaged ext4 image below, made with
# the machine's own mke2fs and debugfs, is checked with -f -y twice, on
# separate copies under the same name: once by the machine's e2fsck, once
# by the built one, with the clock fixed. Both must give the same exit
# status, the same output and byte-identical repaired images, and a second
# -f -n pass of the built checker must find the repaired image clean.
#
# Only files are touched: nothing is mounted and no loop device is used.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

. tools/lib/arches.sh
arch=${1:-x86_64}
qv_known_arch "$arch" || { echo "usage: $0 [$(qv_arch_choices)] [E2FSCK]" >&2; exit 2; }
run=()
[ -z "${QV_ARCH_QEMU[$arch]}" ] || run=("${QV_ARCH_QEMU[$arch]}")
built=$(readlink -f "${2:-build/musl-$arch/e2fsck}")
[ -x "$built" ] || { echo "FAIL: no e2fsck at $built (tools/build-e2fsck.sh $arch)" >&2; exit 1; }
reference=$(command -v e2fsck || echo /sbin/e2fsck)
for tool in mke2fs debugfs dumpe2fs "$reference" "${run[@]}"; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing" >&2; exit 1; }
done
# Both checkers must be one release: otherwise their messages may differ
# for reasons of their own.
want=$("$reference" -V 2>&1 | head -n 1)
have=$("${run[@]}" "$built" -V 2>&1 | head -n 1)
[ "$want" = "$have" ] || {
  echo "FAIL: the machine has \"$want\", the build is \"$have\"" >&2; exit 1; }

work=$(mktemp -d /tmp/quenvale-e2fsck.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
note() { printf '%s\n' "$*" >&2; }
fail() { note "FAIL: $*"; failures=$((failures + 1)); }

# A fixed clock, and no configuration file of the machine's: both checkers
# must see exactly the same world.
export E2FSCK_TIME=1767225600 E2FSCK_CONFIG=/dev/null TZ=UTC LC_ALL=C

debugfs_w() { debugfs -w -f - "$1" >/dev/null 2>&1; }
block_of() { debugfs -R "bmap $2 0" "$1" 2>/dev/null; }
inode_of() { debugfs -R "stat $2" "$1" 2>/dev/null | sed -n 's/^Inode: *\([0-9]*\).*/\1/p'; }
group0() { dumpe2fs "$1" 2>/dev/null | sed -n "s/^ *$2 at \([0-9]*\).*/\1/p" | head -n 1; }
zero_block() { dd if=/dev/zero of="$1" bs=1024 seek="$2" count=1 conv=notrunc status=none; }

# make_base TYPE: the clean image every case of that type starts from, as
# this machine's mke2fs makes it by default (for ext4: journal, extents,
# 64bit, metadata_csum), with an indexed directory, files of several
# blocks and a small one.
make_base() {
  local type=$1 src=$work/src i
  [ -e "$work/$type.img" ] && return 0
  if [ ! -d "$src" ]; then
    mkdir -p "$src/big" "$src/d"
    for i in $(seq 1 400); do echo "file $i" >"$src/big/name-with-some-length-$i"; done
    head -c 200000 /dev/urandom >"$src/d/a"
    head -c 300000 /dev/urandom >"$src/d/b"
    echo small >"$src/d/small"
  fi
  truncate -s 16M "$work/$type.img"
  mke2fs -q -t "$type" -b 1024 -d "$src" "$work/$type.img" || return 1
  # mke2fs -d leaves directories linear; a forced rehash indexes /big.
  "$reference" -f -y -D "$work/$type.img" >/dev/null 2>&1
  debugfs -R "htree /big" "$work/$type.img" 2>/dev/null | grep -q "Root node dump" ||
    { note "FAIL: /big is not indexed in the $type image"; return 1; }
}

# Each damage DAMAGE IMAGE makes one case out of a copy of the base.
damage_clean() { :; }
damage_cleared_inode() { printf 'clri /d/a\n' | debugfs_w "$1"; }
damage_cleared_root() { printf 'clri <2>\n' | debugfs_w "$1"; }
damage_zeroed_bitmaps() {
  zero_block "$1" "$(group0 "$1" "Block bitmap")"
  zero_block "$1" "$(group0 "$1" "Inode bitmap")"
}
damage_journal_replay() {
  # A committed transaction that rewrites /d/small's block: the replay
  # must bring it in before the check (the file keeps its 6 bytes).
  printf 'replayed\n' | dd of="$work/journal-block" bs=1024 conv=sync status=none
  printf 'jo\njw -b %s %s\njc\n' "$(block_of "$1" /d/small)" "$work/journal-block" |
    debugfs_w "$1"
  dumpe2fs -h "$1" 2>/dev/null | grep -q needs_recovery ||
    { note "no transaction to replay"; return 1; }
}
damage_orphan() {
  # Unlinked while open: no name, no link, on the superblock's orphan list.
  local ino
  ino=$(inode_of "$1" /d/b)
  printf 'unlink /d/b\nsif <%s> links_count 0\nssv last_orphan %s\n' "$ino" "$ino" |
    debugfs_w "$1"
}
damage_bad_index() {
  # Indirect levels of the index root (byte 30 of /big's first block) out
  # of range.
  printf '\x07' | dd of="$1" bs=1 seek=$(( $(block_of "$1" /big) * 1024 + 30 )) \
    conv=notrunc status=none
}
damage_claimed_twice() {
  # /d/a's first extent made to start on /d/b's first block.
  local ino start
  ino=$(inode_of "$1" /d/a)
  start=$(block_of "$1" /d/b)
  printf 'sif <%s> block[5] %s\n' "$ino" "$start" | debugfs_w "$1"
  [ "$(block_of "$1" /d/a)" = "$start" ] || { note "extent not moved"; return 1; }
}

# TYPE:DAMAGE. ext4 as the boards' roots are made; ext2 and ext3, which
# the checker also serves, with the damages their formats can carry.
cases=(ext4:clean ext4:cleared_inode ext4:cleared_root ext4:zeroed_bitmaps
       ext4:journal_replay ext4:orphan ext4:bad_index ext4:claimed_twice
       ext2:cleared_inode ext2:zeroed_bitmaps ext3:journal_replay ext3:orphan)

for case in "${cases[@]}"; do
  type=${case%%:*} name=${case#*:}
  make_base "$type" || exit 1
  dir=$work/$type-$name
  mkdir -p "$dir/machine" "$dir/built"
  cp "$work/$type.img" "$dir/disk.img"
  "damage_$name" "$dir/disk.img" || { fail "$case: could not make the damage"; continue; }
  cp "$dir/disk.img" "$dir/machine/disk.img"
  cp "$dir/disk.img" "$dir/built/disk.img"
  (cd "$dir/machine" && "$reference" -f -y disk.img >out 2>&1; echo $? >status)
  (cd "$dir/built" && "${run[@]}" "$built" -f -y disk.img >out 2>&1; echo $? >status)
  ok=true
  if ! cmp -s "$dir/machine/status" "$dir/built/status"; then
    fail "$case: exit status $(cat "$dir/machine/status") (machine), $(cat "$dir/built/status") (built)"
    ok=false
  fi
  if ! cmp -s "$dir/machine/out" "$dir/built/out"; then
    fail "$case: the output differs"
    diff "$dir/machine/out" "$dir/built/out" | head -n 20 >&2
    ok=false
  fi
  if ! cmp -s "$dir/machine/disk.img" "$dir/built/disk.img"; then
    fail "$case: the repaired images differ ($(cmp "$dir/machine/disk.img" "$dir/built/disk.img" | head -c 200))"
    ok=false
  fi
  # Every case but the clean one must have given the checker work; a
  # replay alone is no error, so that case is judged by the replayed block.
  if [ "$name" = journal_replay ]; then
    if ! grep -q "recovering journal" "$dir/built/out" ||
       [ "$(debugfs -R "cat /d/small" "$dir/built/disk.img" 2>/dev/null | head -c 6)" != replay ]; then
      fail "$case: the journal was not replayed"
      ok=false
    fi
  elif [ "$name" != clean ] && [ "$(cat "$dir/machine/status")" = 0 ]; then
    fail "$case: the damage went unnoticed"
    ok=false
  fi
  (cd "$dir/built" && "${run[@]}" "$built" -f -n disk.img >second 2>&1)
  second=$?
  if [ "$second" != 0 ]; then
    fail "$case: the second -f -n pass exits $second"
    tail -n 5 "$dir/built/second" >&2
    ok=false
  fi
  $ok && note "ok: $case (exit status $(cat "$dir/built/status"), $(wc -l <"$dir/built/out") lines)"
done

if [ "$failures" -gt 0 ]; then
  note "e2fsck equivalence ($arch): $failures failure(s)"
  exit 1
fi
note "e2fsck equivalence ($arch): ${#cases[@]} cases, the same checker"
