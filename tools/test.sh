#!/usr/bin/env bash
# Runs every test:
#  - unit and system tests on a debug build with ASan and UBSan, and again
#    on the static release build that ships;
#  - the mipsel cross build's unit tests under qemu-user;
#  - the image builder's tests;
#  - short runs of every fuzz target;
#  - whole boots of real Debian kernels under QEMU, x86_64 and mipsel.
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

run_tree build/test-debug -DCMAKE_BUILD_TYPE=Debug -DQUENVALE_SANITIZE=ON
run_tree build/test-release -DCMAKE_BUILD_TYPE=Release

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
QUENVALE_BOOT_INIT_X86_64=build/test-release/src/quenvale-init \
QUENVALE_BOOT_INIT_MIPSEL=build/test-mipsel/src/quenvale-init \
  tests/boot/run.sh
