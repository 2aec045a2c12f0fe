#!/usr/bin/env bash
# The smallest static musl program that does what quenvale-init cannot do
# without: musl's start-up and one libblkid UUID probe. Its size is the
# floor the musl init is measured against.
#
#   bench/size_floor_musl.sh [x86_64|mipsel ...]      (both by default)
#
# prints, per architecture, the size with the compile flags libblkid is
# built with plus -static -Wl,--gc-sections -s, and the size with the
# link options quenvale-init adds on top (src/CMakeLists.txt).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/size-floor-musl
mkdir -p "$out"
[ $# -gt 0 ] || set -- x86_64 mipsel

cat >"$out/floor.c" <<'EOF'
#include <blkid.h>
#include <stdio.h>

int main(int argc, char **argv) {
  blkid_probe probe =
      blkid_new_probe_from_filename(argc > 1 ? argv[1] : "/dev/null");
  if (probe == NULL) return 1;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  const char *uuid = NULL;
  int found = blkid_do_safeprobe(probe) == 0 &&
              blkid_probe_lookup_value(probe, "UUID", &uuid, NULL) == 0;
  if (found) puts(uuid);
  blkid_free_probe(probe);
  return found ? 0 : 2;
}
EOF

flags="-Os -ffunction-sections -fdata-sections"
init_link="-Wl,-z,noexecstack -Wl,-z,noseparate-code -Wl,--build-id=none"
for arch in "$@"; do
  "$root/cmake/musl-deps.sh" "$arch" >/dev/null
  sysroot=$root/.cache/musl/$arch/sysroot
  cc=$arch-linux-musl-gcc
  # shellcheck disable=SC2086 # the flag lists are meant to split
  {
    $cc $flags -isystem "$root/.cache/musl/$arch/kernel-headers" \
      -I"$sysroot/include/blkid" -o "$out/floor-$arch" "$out/floor.c" \
      -static -Wl,--gc-sections -s -L"$sysroot/lib" -lblkid
    $cc $flags -isystem "$root/.cache/musl/$arch/kernel-headers" \
      -I"$sysroot/include/blkid" -o "$out/floor-init-link-$arch" "$out/floor.c" \
      -static -Wl,--gc-sections -s $init_link -L"$sysroot/lib" -lblkid
  }
  printf '%s %s bytes; with the init'\''s link options %s bytes\n' "$arch" \
    "$(stat -c %s "$out/floor-$arch")" "$(stat -c %s "$out/floor-init-link-$arch")"
done
