#!/usr/bin/env bash
# Runs every test:
#  - the linters (tools/lint.sh), which fail on any finding;
#  - the static musl inits that ship, built for every architecture
#    (tools/arches.tsv: x86_64, mipsel, mips64el, armhf, arm64, i386), and the
#    e2fsck built beside each, checked against the machine's own on
#    damaged file systems; and the mipsel init built with a toolchain
#    that is not Debian's, Zig (tools/zig-toolchain.sh), as a board's
#    build system would give one;
#  - unit and system tests on a debug build with ASan and UBSan, and again
#    on the static glibc release build; the system tests start the shipped
#    x86_64 init as process 1 too;
#  - each other architecture's cross build's unit tests under qemu-user,
#    and those of s390x, a big-endian machine;
#  - the image builder's tests, and the link check's, on GNU ld's and
#    lld's accounts of a link;
#  - short runs of every fuzz target, and replays of them built for arm64
#    and armhf under qemu-user;
#  - whole boots of real Debian kernels under QEMU on every architecture,
#    with the shipped inits, and on mipsel with Zig's too.
#
# On this 2-core machine the builds run two architectures at a time, and
# the boots in two streams of one single-CPU guest each; each stream's
# output is printed whole when it ends. Everything apt brings is installed
# first, so that nothing running side by side meets in apt.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/arches.sh
# The machines the test command treats apart: the build machine's own,
# and the target board's, which boot the whole matrix.
full_boots=("$(qv_build_arch)" mipsel)

# Each step's start, in minutes and seconds from the test command's.
step() { printf '== [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

step "packages"
tools/install-deps.sh build test arches
mkdir -p build/logs

step "lint"
tools/lint.sh
# The cross builds' sysroots and the guests' kernels and programs are
# downloads, not work for the processor: they come while the shipped
# builds run, and are waited for before the first step that needs them.
(
  for arch in "${QV_ALL_ARCHES[@]}" "$QV_BYTE_ORDER_ARCH"; do
    [ "$arch" = "${full_boots[0]}" ] || cmake/cross-deps.sh "$arch"
  done
  # shellcheck disable=SC2016 # expanded by the inner shell
  bash -c '. tools/lib/guests.sh && qv_install_deps "$@" && for a; do qv_fetch_guest "$a"; done' \
    _ "${QV_ALL_ARCHES[@]}"
) >build/logs/downloads.log 2>&1 &
downloads=$!
# Zig, for the build with a toolchain of the user's own: fetched once into
# .cache/zig, before the lane that builds with it.
tools/zig-toolchain.sh mipsel true
wait_for_downloads() {
  [ -n "$downloads" ] || return 0
  wait "$downloads" || { cat build/logs/downloads.log; exit 1; }
  cat build/logs/downloads.log
  downloads=
}

# in_lanes NAME COMMAND LANE1 LANE2: COMMAND ARCH for each architecture of
# LANE1 (words) in turn, and beside it the same for LANE2; prints each
# lane's output when it ends, and fails when either failed.
in_lanes() {
  local name=$1 command=$2 lane status=0 pids=() logs=() i
  shift 2
  for lane in "$@"; do
    logs+=("build/logs/$name-${#logs[@]}.log")
    # shellcheck disable=SC2086 # a lane is a list of words
    (failed=0; for arch in $lane; do $command "$arch" || failed=1; done; exit $failed) \
      >"${logs[-1]}" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || status=1
    cat "${logs[$i]}"
  done
  return $status
}

# run_tree DIR CMAKE-OPTION... [-- BUILD-OPTION...]
run_tree() {
  local dir=$1 configure=() build=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do configure+=("$1"); shift; done
  [ $# -eq 0 ] || { shift; build=("$@"); }
  echo "== $dir"
  cmake -S . -B "$dir" "${configure[@]}" >/dev/null
  cmake --build "$dir" -j"$(nproc)" ${build[@]+"${build[@]}"}
  (cd "$dir" && ctest --output-on-failure)
}

# The inits and e2fsck binaries that ship: static musl builds. Beside
# them, the sanitized libblkid of the probe's fuzz target, which would
# otherwise be built later with one core idle.
ship() {
  if [ "$1" = fuzz ]; then
    echo "== libblkid for the fuzz targets"
    cmake/musl-deps.sh fuzz
    return
  fi
  if [ "$1" = zig-mipsel ]; then
    # Nothing installed for it: Zig's own musl and kernel headers, and
    # libblkid built with them (cmake/user-toolchain.sh).
    echo "== build/user-mipsel (Zig)"
    tools/zig-toolchain.sh mipsel tools/build.sh mipsel | tail -n 1
    return
  fi
  echo "== build/musl-$1"
  tools/build.sh "$1" | tail -n 1 &&
    tools/build-e2fsck.sh "$1" | tail -n 1 &&
    tests/e2fsck/equivalence_test.sh "$1"
}
# deal FIRST SECOND WORD...: the words dealt into two lanes in turn,
# appended to the variables FIRST and SECOND.
deal() {
  local -n lane_a=$1 lane_b=$2
  local i=0 word
  shift 2
  for word; do
    if ((i++ % 2 == 0)); then lane_a+=" $word"; else lane_b+=" $word"; fi
  done
}
step "shipped builds"
ship_a='' ship_b=''
deal ship_a ship_b "${QV_ALL_ARCHES[@]}" zig-mipsel fuzz
in_lanes ship ship "$ship_a" "$ship_b"
shipped_host=$PWD/build/musl-${full_boots[0]}/src/quenvale-init

step "host builds and tests"
run_tree build/test-debug -DCMAKE_BUILD_TYPE=Debug -DQUENVALE_SANITIZE=ON \
  -DQUENVALE_SHIPPED_INIT="$shipped_host"
run_tree build/test-release -DCMAKE_BUILD_TYPE=Release \
  -DQUENVALE_SHIPPED_INIT="$shipped_host"

# The other targets, and a big-endian machine (tools/arches.tsv): the unit
# tests alone, which is all that runs there.
step "cross unit tests"
wait_for_downloads
for arch in "${QV_ALL_ARCHES[@]}" "$QV_BYTE_ORDER_ARCH"; do
  [ "$arch" != "${full_boots[0]}" ] || continue
  run_tree "build/test-$arch" -DCMAKE_TOOLCHAIN_FILE=cmake/gnu.cmake -DQUENVALE_ARCH="$arch" \
    -DCMAKE_BUILD_TYPE=Release -- --target unit_tests
done

# Each of these runs on one core: the fuzz targets' short runs beside their
# replays built for a 64-bit and a 32-bit machine of another kind (under
# qemu-user), and the image builder's tests.
check() {
  case $1 in
    fuzz) echo "== fuzz targets, short runs"; tools/fuzz.sh short ;;
    mkimage) echo "== image builder"; python3 images/tests/test_mkimage.py ;;
    link) echo "== link check"; tests/link/link_check_test.sh ;;
    *) echo "== fuzz targets on $1"; tools/fuzz.sh cross "$1" ;;
  esac
}
step "fuzz targets, image builder and link check"
in_lanes check check "fuzz" "arm64 armhf mkimage link"

step "boots under QEMU"
for arch in "${QV_ALL_ARCHES[@]}"; do
  export "QUENVALE_BOOT_INIT_${arch^^}=$PWD/build/musl-$arch/src/quenvale-init"
done
# The whole matrix on the target (mipsel) and the build machine's own; on
# the others every root= form but the capitals, module options reaching a
# module, a module the kernel refuses and the start without /etc/preinit,
# and the SD card and the USB stick where the guest has them, to keep the
# test command within 40 minutes. tests/boot/run.sh alone runs the whole
# matrix on all.
boot() {
  case " ${full_boots[*]} " in
    *" $1 "*) tests/boot/run.sh "$1"; return ;;
  esac
  case $1 in
    # The init Zig built, with the image's e2fsck from Debian's toolchain.
    zig-mipsel)
      QUENVALE_BOOT_INIT_MIPSEL=$PWD/build/user-mipsel/src/quenvale-init \
        tests/boot/run.sh mipsel partuuid uuid ;;
    *) tests/boot/run.sh "$1" partuuid uuid devpath bare options badmodule nopreinit \
         sd-partuuid usb-uuid ;;
  esac
}
boot_a="mipsel zig-mipsel" boot_b=${full_boots[0]}
others=()
for arch in "${QV_ALL_ARCHES[@]}"; do
  case " ${full_boots[*]} " in *" $arch "*) ;; *) others+=("$arch") ;; esac
done
deal boot_a boot_b "${others[@]}"
in_lanes boot boot "$boot_a" "$boot_b"
step "done"
