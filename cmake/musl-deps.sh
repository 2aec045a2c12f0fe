#!/usr/bin/env bash
# Prepares a static musl build of quenvale-init for one architecture:
#
#   cmake/musl-deps.sh [ARCH|fuzz]   (ARCH: a machine of tools/arches.tsv)
#                                        (x86_64 by default)
#
# The fuzz flavour is the same library built for the probe fuzz target
# instead: glibc and clang 14, with AddressSanitizer,
# UndefinedBehaviorSanitizer and libFuzzer's coverage, so that the fuzzer
# sees into the very probes the shipped init runs.
#
# installs the musl and compiler packages that are missing, and builds
# libblkid alone, static and against musl, from the source of the very
# util-linux version whose libblkid-dev the machine holds, so the musl
# init probes exactly like the glibc build and its tests. Everything is
# cached under .cache/musl/; the build is redone only when the
# util-linux version or this script changes. The result is
# .cache/musl/ARCH/sysroot/{lib/libblkid.a,include/blkid/blkid.h,
# lib/pkgconfig/blkid.pc}, which cmake/musl.cmake reads.
#
# With a toolchain of the user's own in the environment (CROSS_COMPILE,
# or CC and CXX: cmake/user-toolchain.sh says which variables), nothing
# is installed: libblkid is built with that toolchain, against its own
# headers and C library, into .cache/musl/user-ARCH-HASH/libblkid/sysroot,
# which cmake/user-toolchain.cmake reads; the source tree is one of its
# own, in .cache/musl/user-src.
set -euo pipefail

self=$(readlink -f "${BASH_SOURCE[0]}")
root=$(cd "$(dirname "$self")/.." && pwd)
# shellcheck source=tools/lib/source-build.sh
. "$root/tools/lib/source-build.sh"

arch=${1:-x86_64}
if [ "$arch" = fuzz ]; then
  triplet=x86_64-linux-gnu
  gnu=x86_64-linux-gnu
  packages=(clang-14 libclang-rt-14-dev)
else
  qv_known_arch "$arch" ||
    { echo "usage: $0 [$(qv_arch_choices)|fuzz]" >&2; exit 2; }
  triplet=${QV_ARCH_MUSL[$arch]}
  gnu=${QV_ARCH_GNU[$arch]}
  deb=${QV_ARCH_DEB[$arch]}
  if [ "$arch" = "$(qv_build_arch)" ]; then
    packages=(musl-tools "musl-dev:$deb" gcc g++)
  else
    # musl-dev:ARCH brings its own compiler wrapper, /usr/bin/TRIPLET-gcc,
    # around the Debian cross gcc.
    packages=("musl-dev:$deb" "gcc-$gnu" "g++-$gnu" "linux-libc-dev-$deb-cross"
              qemu-user-static)
  fi
fi
# Every flavour runs the build machine's own x86_64 tools.
packages+=(dpkg-dev patch linux-libc-dev libblkid-dev make pkg-config xz-utils)

cache=$root/.cache/musl
mkdir -p "$cache"
export DEBIAN_FRONTEND=noninteractive LC_ALL=C

user=no
if [ "$arch" != fuzz ] && qv_user_toolchain_given; then
  user=yes
  qv_user_toolchain "$arch"
fi

# One run per architecture at a time; and one at a time through apt and
# the unpacking of the source, which all architectures share. The build
# itself may run beside another architecture's.
if [ "$user" = yes ]; then
  qv_source_lock "$QV_USER_DIR/.lock"
else
  qv_source_lock "$cache/.lock-$arch"
fi

if [ "$user" = yes ]; then
  :  # the toolchain is the user's; this machine only runs it
elif [ "$(dpkg --print-architecture)" != amd64 ]; then
  echo "musl-deps.sh: the build machine must be amd64" >&2
  exit 1
fi

[ "$user" = yes ] || qv_install "${packages[@]}"

if [ "$user" = yes ]; then
  version=$(qv_user_blkid_version)
else
  version=$(qv_package_version libblkid-dev:amd64)
fi
script_sum=$(cat "$self" "$root/tools/lib/source-build.sh" "$root/tools/lib/packages-source.sh" |
  sha256sum | cut -d' ' -f1)
# Fixes of the project's own to libblkid, applied after Debian's patches
# (each file says what it mends and how it was found).
patches=("$root"/cmake/blkid-patches/*.patch)
patches_sum=$(cat "${patches[@]}" | sha256sum | cut -d' ' -f1)
key="util-linux $version; musl-deps.sh $script_sum; patches $patches_sum"
# The build's also names what it was built with, from tools/arches.tsv: this
# architecture's entries, not the whole list, which other architectures
# may join.
build_key="$key; $triplet $gnu $(qv_kernel_header_dirs "${arch/fuzz/x86_64}")"

out=$cache/$arch
source_dir=$cache/src
if [ "$user" = yes ]; then
  # The toolchain is named by the directory; what was found out about it
  # is part of the key.
  build_key="$key; $triplet; $(cat "$root/cmake/user-toolchain.sh" | sha256sum | cut -d' ' -f1)"
  build_key+="; ${QV_USER_LDFLAGS[*]}; ${QV_USER_CFLAGS[*]}"
  out=$QV_USER_DIR/libblkid
  source_dir=$cache/user-src
fi
sysroot=$out/sysroot
if qv_stamp_matches "$out" "$build_key" "$sysroot/lib/libblkid.a"; then
  echo "$sysroot/lib/libblkid.a"
  exit 0
fi

# --- util-linux's source, exactly as Debian ships it ------------------------

qv_unpack_source util-linux "$version" "$key" "$source_dir" "${patches[@]}"

# --- libblkid, static, against musl -----------------------------------------

qv_source_unlock

rm -rf "$out"
mkdir -p "$out/kernel-headers" "$out/build"

# musl's include path holds no kernel headers, and libblkid's configure
# insists on them. Only these four trees are handed over: the rest of the
# glibc include directory would shadow musl's own headers.
read -r -a kernel_src <<<"$(qv_kernel_header_dirs "${arch/fuzz/x86_64}")"
# A user's toolchain has the kernel headers it was made for, and the
# build machine need not have any.
[ "$user" = no ] || kernel_src=()
for dir in ${kernel_src[@]+"${kernel_src[@]}"}; do
  [ -d "$dir" ] || { echo "musl-deps.sh: no kernel headers in $dir" >&2; exit 1; }
  ln -s "$dir" "$out/kernel-headers/$(basename "$dir")"
done

# -fno-pie: Debian's gcc makes position-independent code by default, which
# a static program only pays for (on MIPS every global goes through the GOT);
# configure's test programs then link with -no-pie.
flags="-Os -ffunction-sections -fdata-sections -fno-pie"
cc=$triplet-gcc
ldflags=-no-pie
if [ "$arch" = fuzz ]; then
  flags="-g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined"
  flags+=" -fno-sanitize-recover=undefined -fsanitize=fuzzer-no-link"
  cc=clang-14
  ldflags="-fsanitize=address,undefined"
fi
binutils=(AR="$gnu-ar" RANLIB="$gnu-ranlib" NM="$gnu-nm" STRIP="$gnu-strip"
          OBJDUMP="$gnu-objdump")
cppflags="-isystem $out/kernel-headers"
if [ "$user" = yes ]; then
  cc=$QV_USER_TOOLS/cc
  flags+=" ${QV_USER_CFLAGS[*]}"
  ldflags="${QV_USER_LDFLAGS[*]}"
  # CXX too: configure tries it, whatever it builds, and the user's own
  # (zig c++) would link the C++ library; the wrapper only compiles.
  binutils=(AR="$QV_USER_TOOLS/ar" RANLIB="$QV_USER_TOOLS/ranlib" CXX="$QV_USER_TOOLS/c++")
  [ -z "$QV_USER_STRIP" ] || binutils+=(STRIP="$QV_USER_STRIP")
  cppflags=
fi
start=$(date +%s)
echo "configuring libblkid for $arch" >&2
(
  cd "$out/build"
  # Every program, the other libraries and every optional dependency off:
  # libblkid needs none of them, and a static init must not pull them in.
  "$source_tree/configure" -q \
    --build=x86_64-pc-linux-gnu --host="$triplet" \
    --prefix="$sysroot" \
    --disable-all-programs --enable-libblkid \
    --disable-shared --enable-static \
    --disable-nls --disable-rpath --disable-asciidoc --disable-poman \
    --disable-bash-completion --disable-makeinstall-chown \
    --disable-makeinstall-setuid --disable-pylibmount \
    --disable-widechar --disable-assert \
    --without-python --without-systemd --without-udev \
    --without-selinux --without-audit --without-smack --without-econf \
    --without-libmagic --without-cryptsetup --without-readline \
    --without-ncurses --without-ncursesw --without-tinfo --without-btrfs \
    --without-user --without-libz --without-cap-ng --without-utempter \
    --without-util \
    CC="$cc" "${binutils[@]}" \
    CFLAGS="$flags" CPPFLAGS="$cppflags" LDFLAGS="$ldflags" \
    PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH= \
    >"$out/configure.log" 2>&1 || { tail -30 "$out/configure.log" >&2; exit 1; }
  echo "building libblkid for $arch" >&2
  date +%s >"$out/configured"
  make -j2 libblkid.la >"$out/build.log" 2>&1 ||
    { tail -30 "$out/build.log" >&2; exit 1; }
  make install-usrlib_execLTLIBRARIES install-nodist_blkidincHEADERS \
       install-pkgconfigDATA >>"$out/build.log" 2>&1 ||
    { tail -30 "$out/build.log" >&2; exit 1; }
)
rm -f "$sysroot"/lib/*.la
built=$(cat "$out/configured")
# Relative to the .pc file, so the checkout may move.
# shellcheck disable=SC2016 # ${pcfiledir} is pkg-config's, not the shell's
sed -i -e "s|$sysroot|\${prefix}|g" -e 's|^prefix=.*|prefix=${pcfiledir}/../..|' \
  "$sysroot/lib/pkgconfig/blkid.pc"
echo "libblkid for $arch: configure $(( built - start )) s," \
     "build $(( $(date +%s) - built )) s" >&2

echo "$build_key" >"$out/stamp"
echo "$sysroot/lib/libblkid.a"
