#!/usr/bin/env bash
# Installs what a glibc cross build and its emulated unit tests need, only
# what is missing: the cross compiler, qemu-user-static, googletest's
# sources, and libblkid for the architecture in .cache/gnu-ARCH-sysroot.
#
#   cmake/cross-deps.sh mipsel|mips64el|armhf|arm64|s390x
#
# s390x is the big-endian machine of the unit tests only (tools/arches.tsv).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/arches.sh
. "$root/tools/lib/arches.sh"
# shellcheck source=tools/lib/packages.sh
. "$root/tools/lib/packages.sh"
arch=${1:-}
if { ! qv_known_arch "$arch" && [ "$arch" != "$QV_BYTE_ORDER_ARCH" ]; } ||
   [ "$arch" = "$(qv_build_arch)" ]; then
  echo "usage: $0 ARCH (a machine of tools/arches.tsv other than this one's)" >&2
  exit 2
fi
gnu=${QV_ARCH_GNU[$arch]}
deb=${QV_ARCH_DEB[$arch]}
multiarch=${QV_ARCH_MULTIARCH[$arch]}
sysroot=$root/.cache/gnu-$arch-sysroot

# One at a time through the unpacking into the sysroot.
mkdir -p "$root/.cache"
exec 9>"$root/.cache/.cross-deps.lock"
flock 9

qv_install "g++-$gnu" qemu-user-static cmake make pkg-config googletest

# libblkid for the target is unpacked into a private sysroot, never
# installed: a multiarch libblkid-dev:ARCH brings libc6:ARCH, whose version
# follows the archive's point releases while the cross toolchain's
# libc6-ARCH-cross does not, and a test binary that loads one's ld.so and
# the other's libc dies at start. With the sysroot, the cross toolchain's
# C library is the only one the build links and the emulator loads.
[ -e "$sysroot/usr/lib/$multiarch/pkgconfig/blkid.pc" ] && exit 0

echo "unpacking libblkid for $arch into $sysroot" >&2
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
qv_download "$debs" "libblkid-dev:$deb" "libblkid1:$deb" "uuid-dev:$deb" "libuuid1:$deb"
rm -rf "$sysroot.tmp"
mkdir -p "$sysroot.tmp"
for deb_file in "$debs"/*.deb; do dpkg -x "$deb_file" "$sysroot.tmp"; done
rm -rf "$sysroot"
mv "$sysroot.tmp" "$sysroot"
