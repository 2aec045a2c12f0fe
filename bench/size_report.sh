#!/usr/bin/env bash
# Size of the release quenvale-init against its floor: a static C program
# that only opens and frees one libblkid probe (bench/size_floor.c), built
# with the same class of flags (-Os, static, stripped, no executable
# stack), which any static init using libblkid has to carry anyway.
#
# Usage: bench/size_report.sh [x86_64|mipsel]...   (default both)
#
# Per architecture: the two sizes, their difference, and where the
# difference lies, from linker maps of unstripped links of the same code
# (build type None with the release flags, so CMake adds no -s; their
# stripped size is checked against the release binary): by library and
# member, by section (.eh_frame, .gcc_except_table, ...), and the largest
# symbols the floor does not have. Builds go to build/size-ARCH.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tests/boot/lib.sh"

arches=()
for arg in "$@"; do
  case $arg in
    x86_64|mipsel) arches+=("$arg") ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg" >&2; exit 2 ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=("${QV_ARCHES[@]}")

declare -A CROSS=([x86_64]=x86_64-linux-gnu- [mipsel]=mipsel-linux-gnu-)
RELEASE_FLAGS="-Os -DNDEBUG"

# cache_value DIR NAME: an entry of a CMake cache, ';' turned into blanks.
cache_value() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" | tr ';' ' '
}

qv_install_deps "${arches[@]}" >&2

for arch in "${arches[@]}"; do
  qv_build_init "$arch" 2>/dev/null
  dir=$QV_ROOT/build/size-$arch
  mkdir -p "$dir"
  toolchain=()
  [ "$arch" = mipsel ] &&
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/mipsel-linux-gnu.cmake")
  cmake -S "$QV_ROOT" -B "$dir/tree" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$RELEASE_FLAGS" -DBUILD_TESTING=OFF \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-Map=$dir/quenvale-init.map" >"$dir/build.log" 2>&1 &&
    cmake --build "$dir/tree" --target quenvale-init -j"$(nproc)" >>"$dir/build.log" 2>&1 ||
    { tail -n 30 "$dir/build.log" >&2; exit 1; }
  unstripped=$dir/tree/src/quenvale-init
  "${CROSS[$arch]}strip" -s -o "$dir/quenvale-init.stripped" "$unstripped"

  # The floor takes libblkid exactly as the program's build found it.
  # <blkid/blkid.h> needs the directory above the one pkg-config names.
  blkid_libs=$(cache_value "$dir/tree" BLKID_STATIC_LDFLAGS)
  blkid_cflags=
  for inc in $(cache_value "$dir/tree" BLKID_STATIC_INCLUDE_DIRS); do
    blkid_cflags+=" -I${inc%/blkid} -I$inc"
  done
  cc=(${CROSS[$arch]}gcc $RELEASE_FLAGS -static -Wall -Wextra -Werror
      -Wl,-z,noexecstack $blkid_cflags)
  # shellcheck disable=SC2086
  "${cc[@]}" -s -o "$dir/floor" "$here/size_floor.c" $blkid_libs
  # shellcheck disable=SC2086
  "${cc[@]}" -Wl,-Map="$dir/floor.map" -o "$dir/floor.unstripped" "$here/size_floor.c" $blkid_libs

  release=$(stat -c %s "$QV_INIT")
  floor=$(stat -c %s "$dir/floor")
  echo "== $arch"
  echo "quenvale-init (release, stripped): $release B   ${QV_INIT#"$QV_ROOT"/}"
  echo "floor (size_floor.c, stripped):    $floor B"
  echo "difference:                        $((release - floor)) B"
  mapped=$(stat -c %s "$dir/quenvale-init.stripped")
  if [ "$mapped" -ne "$release" ]; then
    echo "note: the mapped build strips to $mapped B, not $release B; the sources changed" \
         "between the two builds or the flags differ, so the breakdown is of $mapped B"
  fi
  echo
  python3 "$here/size_breakdown.py" "$dir/quenvale-init.map" "$dir/floor.map" \
    "$dir/quenvale-init.stripped" "$dir/floor" "$unstripped" "$dir/floor.unstripped" \
    "${CROSS[$arch]}nm"
done
