#!/usr/bin/env bash
# Installs the Debian packages a task needs, and only those still missing.
# Usage: tools/install-deps.sh GROUP...   (groups: build test)
set -euo pipefail

declare -A groups=(
  [build]="cmake g++ make pkg-config libblkid-dev"
  [test]="googletest libgtest-dev e2fsprogs e2fsck-static busybox-static fdisk util-linux cpio kmod python3 xz-utils zstd lz4"
)

wanted=()
for group in "$@"; do
  [ -n "${groups[$group]:-}" ] || { echo "unknown group: $group" >&2; exit 2; }
  read -r -a names <<<"${groups[$group]}"
  wanted+=("${names[@]}")
done

missing=()
for name in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$name")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
