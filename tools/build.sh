#!/usr/bin/env bash
# Builds the init that ships: static, stripped, against musl.
#
# Usage: tools/build.sh [ARCH]   (x86_64 by default)
#
# Installs what is missing and builds libblkid for musl once
# (cmake/musl-deps.sh, cached in .cache/musl), then the program in
# build/musl-ARCH. The last line printed is "PATH: N bytes".
#
# With a cross toolchain of your own (Buildroot, Yocto, OpenWrt, Zig...),
# whose C library is musl, given in the environment:
#
#   CROSS_COMPILE=PREFIX   PREFIXgcc, PREFIXg++, PREFIXar, PREFIXranlib,
#                          PREFIXstrip
#   CC=... CXX=...         compilers, commands with words if need be
#                          (CC="zig cc -target mipsel-linux-musl"); they
#                          take the place of CROSS_COMPILE's, as AR=...,
#                          RANLIB=... and STRIP=... (optional) do
#   SYSROOT=DIR            optional; given to the compilers as --sysroot
#   BUILD_DIR=DIR          optional; build/user-ARCH by default
#
# nothing is installed and no setting of the machine changes. What the
# build needs is checked first, one line for each thing missing, and the
# script then exits with status 2: the compilers, which must compile C and
# C++20 with C headers alone and link a static program against musl with
# the Linux kernel's headers; cmake, make, pkg-config, patch and xz; and
# for Debian's util-linux source, which libblkid is still built from
# (fetched with a private apt into .cache, never installed: no root
# needed), apt-get, apt-config, dpkg-source, and a Debian archive among
# the machine's apt sources. libblkid is built with the toolchain once, in
# .cache/musl/user-ARCH-HASH (HASH naming the toolchain), the program in
# BUILD_DIR: BUILD_DIR/src/quenvale-init. The C driver links it with no
# C++ library, and the link is checked to load nothing but the program,
# libblkid and the toolchain's C library and runtime, and none of musl's
# allocator. tools/zig-toolchain.sh gives Zig as such a toolchain:
#
#   tools/zig-toolchain.sh mipsel tools/build.sh mipsel
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/arches.sh
. cmake/user-toolchain.sh
arch=${1:-x86_64}
qv_known_arch "$arch" || { echo "usage: $0 [$(qv_arch_choices)]" >&2; exit 2; }
if qv_user_toolchain_given; then
  qv_user_toolchain "$arch"
  cmake/musl-deps.sh "$arch" >/dev/null
  dir=${BUILD_DIR:-build/user-$arch}
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/user-toolchain.cmake" \
    -DQUENVALE_USER_ARCH="$arch" -DQUENVALE_USER_DIR="$QV_USER_DIR" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
else
  tools/install-deps.sh build
  cmake/musl-deps.sh "$arch" >/dev/null
  dir=build/musl-$arch
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/musl.cmake" -DQUENVALE_ARCH="$arch" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$dir" -j"$(nproc)" --target quenvale-init
binary=$dir/src/quenvale-init
echo "$binary: $(stat -c %s "$binary") bytes"
