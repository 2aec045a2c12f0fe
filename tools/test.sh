#!/usr/bin/env bash
# Runs every test:
#  - the static musl inits that ship, built for x86_64 and mipsel, and the
#    e2fsck built beside them, checked against the machine's own on
#    damaged file systems;
#  - unit and system tests on a debug build with ASan and UBSan, and again
#    on the static glibc release build; the system tests start the shipped
#    x86_64 init as process 1 too;
#  - the mipsel cross build's unit tests under qemu-user;
#  - the image builder's tests;
#  - short runs of every fuzz target;
#  - whole boots of real Debian kernels under QEMU, x86_64 and mipsel, with
#    the shipped inits.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh build test

run_tree() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure)
}

# The inits that ship: static musl builds for both architectures.
for arch in x86_64 mipsel; do
  echo "== build/musl-$arch"
  tools/build.sh "$arch" | tail -n 1
done
for arch in x86_64 mipsel; do
  echo "== build/musl-$arch/e2fsck"
  tools/build-e2fsck.sh "$arch" | tail -n 1
  tests/e2fsck/equivalence_test.sh "$arch"
done
shipped_x86_64=$PWD/build/musl-x86_64/src/quenvale-init
shipped_mipsel=$PWD/build/musl-mipsel/src/quenvale-init

run_tree build/test-debug -DCMAKE_BUILD_TYPE=Debug -DQUENVALE_SANITIZE=ON \
  -DQUENVALE_SHIPPED_INIT="$shipped_x86_64"
run_tree build/test-release -DCMAKE_BUILD_TYPE=Release \
  -DQUENVALE_SHIPPED_INIT="$shipped_x86_64"

cmake/mipsel-deps.sh
echo "== build/test-mipsel"
cmake -S . -B build/test-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/test-mipsel -j"$(nproc)"
(cd build/test-mipsel && ctest --output-on-failure)

echo "== image builder"
python3 images/tests/test_mkimage.py

echo "== fuzz targets, short runs"
tools/fuzz.sh short

echo "== boots under QEMU"
QUENVALE_BOOT_INIT_X86_64=$shipped_x86_64 QUENVALE_BOOT_INIT_MIPSEL=$shipped_mipsel \
  tests/boot/run.sh
