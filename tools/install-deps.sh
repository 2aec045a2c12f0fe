#!/usr/bin/env bash
# Installs the Debian packages a task needs, and only those still missing.
# Usage: tools/install-deps.sh GROUP...   (groups: build test arches)
#
# arches: everything the builds and boots of every architecture install
# for themselves (cmake/musl-deps.sh, cmake/cross-deps.sh,
# tools/lib/guests.sh), at once, so that those may then run side by side
# without meeting in apt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/arches.sh
. "$root/tools/lib/arches.sh"
# shellcheck source=tools/lib/packages.sh
. "$root/tools/lib/packages.sh"

declare -A groups=(
  [build]="cmake g++ make pkg-config libblkid-dev"
  [test]="googletest libgtest-dev e2fsprogs e2fsck-static busybox-static fdisk util-linux cpio kmod python3 xz-utils zstd lz4
          curl ca-certificates shellcheck pyflakes3 clang-format git"
  [arches]="musl-tools gcc g++ dpkg-dev patch linux-libc-dev xz-utils
            qemu-user-static clang-14 libclang-rt-14-dev"
)
build_arch=$(qv_build_arch)
for arch in "${QV_ALL_ARCHES[@]}"; do
  deb=${QV_ARCH_DEB[$arch]} gnu=${QV_ARCH_GNU[$arch]}
  groups[arches]+=" musl-dev:$deb ${QV_ARCH_QEMU_SYSTEM[$arch]}"
  [ "$arch" = "$build_arch" ] ||
    groups[arches]+=" gcc-$gnu g++-$gnu linux-libc-dev-$deb-cross"
done
# The big-endian machine of the unit tests: its cross compiler, and its
# architecture for the libblkid that cmake/cross-deps.sh downloads.
groups[arches]+=" g++-${QV_ARCH_GNU[$QV_BYTE_ORDER_ARCH]}"

wanted=()
for group in "$@"; do
  [ -n "${groups[$group]:-}" ] || { echo "unknown group: $group" >&2; exit 2; }
  read -r -d "" -a names <<<"${groups[$group]}" || true  # every line of it
  wanted+=("${names[@]}")
done
for group in "$@"; do
  [ "$group" != arches ] || qv_add_arches "${QV_ARCH_DEB[$QV_BYTE_ORDER_ARCH]}"
done
qv_install "${wanted[@]}"
# A new architecture's package lists, for the scripts' downloads.
qv_refresh_lists
