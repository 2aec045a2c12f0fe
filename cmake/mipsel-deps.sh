#!/usr/bin/env bash
# Installs what the mipsel cross build and its emulated unit tests need,
# only what is missing: the cross compiler, qemu-user-static, googletest's
# sources, and libblkid for mipsel in .cache/mipsel-sysroot.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${QUENVALE_MIPSEL_SYSROOT:-$root/.cache/mipsel-sysroot}
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for name in g++-mipsel-linux-gnu qemu-user-static cmake make pkg-config googletest; do
  installed "$name" || missing+=("$name")
done
updated=no
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  apt-get update -qq
  updated=yes
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# libblkid for mipsel is unpacked into a private sysroot, never installed:
# a multiarch libblkid-dev:mipsel brings libc6:mipsel, whose version follows
# the archive's point releases while the cross toolchain's libc6-mipsel-cross
# does not, and a test binary that loads one's ld.so and the other's libc
# dies at start. With the sysroot, the cross toolchain's C library is the
# only one the build links and the emulator loads.
[ -e "$sysroot/usr/lib/mipsel-linux-gnu/pkgconfig/blkid.pc" ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  dpkg --add-architecture mipsel
  updated=no
fi
[ "$updated" = yes ] || apt-get update -qq

echo "unpacking libblkid for mipsel into $sysroot" >&2
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
(cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root libblkid-dev:mipsel libblkid1:mipsel \
   uuid-dev:mipsel libuuid1:mipsel)
rm -rf "$sysroot.tmp"
mkdir -p "$sysroot.tmp"
for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot.tmp"; done
rm -rf "$sysroot"
mv "$sysroot.tmp" "$sysroot"
