#!/usr/bin/env bash
# Installs what the mipsel cross build and its emulated unit tests need,
# only what is missing: the cross compiler, qemu-user-static, googletest's
# sources, and libblkid for mipsel (see mipsel-linux-gnu.cmake for where it
# is looked for).
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

blkid_pc=lib/mipsel-linux-gnu/pkgconfig/blkid.pc
[ -e "/usr/$blkid_pc" ] && exit 0
[ -e "$sysroot/usr/$blkid_pc" ] && exit 0

if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  dpkg --add-architecture mipsel
  updated=no
fi
[ "$updated" = yes ] || apt-get update -qq
if apt-get install -y -qq --no-install-recommends libblkid-dev:mipsel >/dev/null 2>&1; then
  exit 0
fi

# The multiarch install was refused (host packages newer than mipsel's):
# unpack the four packages the static link needs instead, installing
# nothing.
echo "libblkid-dev:mipsel not installable here; unpacking it into $sysroot" >&2
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
(cd "$debs" && apt-get download -qq libblkid-dev:mipsel libblkid1:mipsel \
   uuid-dev:mipsel libuuid1:mipsel 2>/dev/null)
rm -rf "$sysroot.tmp"
mkdir -p "$sysroot.tmp"
for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot.tmp"; done
rm -rf "$sysroot"
mv "$sysroot.tmp" "$sysroot"
