#!/usr/bin/env bash
# Installs the Debian packages a task needs, and only those still missing.
# Usage: tools/install-deps.sh GROUP...   (groups: build test arches)
#
# arches: everything the builds and boots of every architecture install
# for themselves (cmake/musl-deps.sh, cmake/cross-deps.sh,
# tests/boot/lib.sh), at once, so that those may then run side by side
# without meeting in apt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=cmake/arches.sh
. "$root/cmake/arches.sh"
# shellcheck source=tools/apt.sh
. "$root/tools/apt.sh"

declare -A groups=(
  [build]="cmake g++ make pkg-config libblkid-dev"
  [test]="googletest libgtest-dev e2fsprogs e2fsck-static busybox-static fdisk util-linux cpio kmod python3 xz-utils zstd lz4
          curl ca-certificates"
  [arches]="musl-tools musl-dev:amd64 gcc g++ dpkg-dev patch linux-libc-dev xz-utils
            qemu-user-static clang-14 libclang-rt-14-dev
            qemu-system-x86 qemu-system-mips qemu-system-arm"
)
foreign=()
for arch in "${QV_ALL_ARCHES[@]}"; do
  [ "$arch" = x86_64 ] && continue
  deb=${QV_ARCH_DEB[$arch]} gnu=${QV_ARCH_GNU[$arch]}
  foreign+=("$deb")
  groups[arches]+=" musl-dev:$deb gcc-$gnu g++-$gnu linux-libc-dev-$deb-cross"
done
# The big-endian machine of the unit tests: its cross compiler, and its
# architecture for the libblkid that cmake/cross-deps.sh unpacks.
foreign+=("${QV_ARCH_DEB[$QV_BYTE_ORDER_ARCH]}")
groups[arches]+=" g++-${QV_ARCH_GNU[$QV_BYTE_ORDER_ARCH]}"

wanted=()
for group in "$@"; do
  [ -n "${groups[$group]:-}" ] || { echo "unknown group: $group" >&2; exit 2; }
  read -r -d "" -a names <<<"${groups[$group]}" || true  # every line of it
  wanted+=("${names[@]}")
done

added=no
for group in "$@"; do
  [ "$group" = arches ] || continue
  for deb in "${foreign[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$deb" && continue
    dpkg --add-architecture "$deb"
    added=yes
  done
done

missing=()
for name in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$name")
done
if [ ${#missing[@]} -eq 0 ]; then
  # A new architecture's package lists, for the scripts' downloads.
  [ "$added" = no ] || apt_update
  exit 0
fi

echo "installing: ${missing[*]}" >&2
apt_update
apt_install "${missing[@]}"
