#!/usr/bin/env bash
# The condition under which the built checker was seen to crash: the same
# small repair run many times, on images whose file contents are random,
# by several runs at once on a busy machine.
#
# Usage: tools/e2fsck-stress.sh [ARCH] [RUNS] [PARALLEL] [E2FSCK]
#   ARCH as tools/arches.tsv names them (default mipsel); RUNS per loop
#   (default 200); PARALLEL loops at once (default 4); E2FSCK defaults to
#   build/musl-ARCH/e2fsck (tools/build-e2fsck.sh), run under qemu-user on
#   other machines than x86_64.
#
# Each run makes a 16 MiB ext2 image with mke2fs -d from a tree whose two
# large files are random, zeroes group 0's block and inode bitmaps, and
# checks a copy with -f -y with this machine's e2fsck and another with the
# built one, each under the same name. The two must exit alike and print
# the same lines. A run that does not keeps its image and output in
# /tmp/quenvale-e2fsck-stress/. Prints one line per loop and exits 1 when
# any run failed. Only files are touched.
#
# Seen, before the checker was built without threads: on mipsel under
# qemu-user, with four loops on a two-core machine, about one run in three
# hundred ended "Signal (10) SIGBUS si_code=BUS_ADRALN fault addr=0x6",
# exit status 8: e2fsck read the bitmaps on two threads, and the init's
# allocator it links serves one (docs/faults.md, "Allocator edges").
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
. tools/lib/arches.sh
arch=${1:-mipsel} runs=${2:-200} parallel=${3:-4}
qv_known_arch "$arch" || { echo "usage: $0 [$(qv_arch_choices)] [RUNS] [PARALLEL] [E2FSCK]" >&2; exit 2; }
built=$(readlink -f "${4:-build/musl-$arch/e2fsck}")
[ -x "$built" ] || { echo "no e2fsck at $built (tools/build-e2fsck.sh $arch)" >&2; exit 1; }
run=()
[ -z "${QV_ARCH_QEMU[$arch]}" ] || run=("${QV_ARCH_QEMU[$arch]}")
reference=$(command -v e2fsck || echo /sbin/e2fsck)
kept=/tmp/quenvale-e2fsck-stress
mkdir -p "$kept"
export E2FSCK_TIME=1767225600 E2FSCK_CONFIG=/dev/null TZ=UTC LC_ALL=C

group0() { dumpe2fs "$1" 2>/dev/null | sed -n "s/^ *$2 at \([0-9]*\).*/\1/p" | head -n 1; }
zero_block() { dd if=/dev/zero of="$1" bs=1024 seek="$2" count=1 conv=notrunc status=none; }

# check_with CHECKER... DIR: status and output of one -f -y run in DIR.
check_with() {
  local dir=${*: -1}
  (cd "$dir" && "${@:1:$#-1}" -f -y disk.img >out 2>&1; echo $? >status)
}

loop() {
  local id=$1 work failures=0 i j
  work=$(mktemp -d /tmp/quenvale-e2fsck-stress.XXXXXX)
  for i in $(seq 1 "$runs"); do
    rm -rf "${work:?}"/*
    mkdir -p "$work/src/big" "$work/src/d" "$work/machine" "$work/built"
    for j in $(seq 1 400); do echo "file $j" >"$work/src/big/name-with-some-length-$j"; done
    head -c 200000 /dev/urandom >"$work/src/d/a"
    head -c 300000 /dev/urandom >"$work/src/d/b"
    truncate -s 16M "$work/disk.img"
    mke2fs -q -t ext2 -b 1024 -d "$work/src" "$work/disk.img" || return 2
    zero_block "$work/disk.img" "$(group0 "$work/disk.img" "Block bitmap")"
    zero_block "$work/disk.img" "$(group0 "$work/disk.img" "Inode bitmap")"
    cp "$work/disk.img" "$work/machine/disk.img"
    cp "$work/disk.img" "$work/built/disk.img"
    check_with "$reference" "$work/machine"
    check_with "${run[@]}" "$built" "$work/built"
    if ! cmp -s "$work/machine/status" "$work/built/status" ||
       ! cmp -s "$work/machine/out" "$work/built/out"; then
      failures=$((failures + 1))
      cp "$work/disk.img" "$kept/loop$id-run$i.img"
      cp "$work/built/out" "$kept/loop$id-run$i.out"
      echo "loop $id run $i: exit $(cat "$work/built/status") (machine $(cat "$work/machine/status")):" \
        "$(grep -m 1 Signal "$work/built/out" || tail -n 1 "$work/built/out")"
    fi
  done
  rm -rf "$work"
  echo "loop $id: $runs runs, $failures failed"
  [ "$failures" -eq 0 ]
}

pids=()
for id in $(seq 1 "$parallel"); do loop "$id" & pids+=($!); done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
