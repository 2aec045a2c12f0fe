#!/usr/bin/env bash
# Builds the init that ships: static, stripped, against musl.
#
# Usage: tools/build.sh [x86_64|mipsel|mips64el|armhf|arm64]   (x86_64 by default)
#
# Installs what is missing and builds libblkid for musl once
# (cmake/musl-deps.sh, cached in .cache/musl), then the program in
# build/musl-ARCH. The last line printed is "PATH: N bytes".
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/arches.sh
arch=${1:-x86_64}
qv_known_arch "$arch" || { echo "usage: $0 [$(qv_arch_choices)]" >&2; exit 2; }
tools/install-deps.sh build
cmake/musl-deps.sh "$arch" >/dev/null
dir=build/musl-$arch
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/musl-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target quenvale-init
binary=$dir/src/quenvale-init
echo "$binary: $(stat -c %s "$binary") bytes"
