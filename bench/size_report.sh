#!/usr/bin/env bash
# Size of the shipped (musl) quenvale-init against its floor: a static musl
# C program holding one libblkid UUID probe (bench/size_floor.c), compiled
# as libblkid is and linked as the init is, which any static init using
# libblkid has to carry anyway.
#
# Usage: bench/size_report.sh [ARCH]...   (ARCH: a machine of tools/arches.tsv)
#                                                     (default all)
#
# Per architecture: the two sizes, their difference, and where the
# difference lies, from linker maps of unstripped links of the same code
# (build type None with the release flags, so CMake adds no -s; their
# stripped size is checked against the release binary): by library and
# member, by section (.eh_frame, .gcc_except_table, ...), and the largest
# symbols the floor does not have. Builds go to build/size-ARCH; libblkid
# for musl comes from cmake/musl-deps.sh (through tools/build.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/lib/guests.sh"

arches=()
for arg in "$@"; do
  case $arg in
    -h|--help) qv_usage; exit 0 ;;
    *) qv_known_arch "$arg" || { echo "unknown argument: $arg" >&2; exit 2; }
       arches+=("$arg") ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=("${QV_ALL_ARCHES[@]}")

RELEASE_FLAGS="-Os -DNDEBUG"

qv_install_deps "${arches[@]}" >&2

for arch in "${arches[@]}"; do
  qv_build_init "$arch" 2>/dev/null
  dir=$QV_ROOT/build/size-$arch
  mkdir -p "$dir"
  # The musl build with the release flags but no -s (build type None); its
  # link writes the map the build checks.
  cmake -S "$QV_ROOT" -B "$dir/tree" -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/musl.cmake" -DQUENVALE_ARCH="$arch" \
    -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$RELEASE_FLAGS" -DBUILD_TESTING=OFF \
    >"$dir/build.log" 2>&1 &&
    cmake --build "$dir/tree" --target quenvale-init -j"$(nproc)" >>"$dir/build.log" 2>&1 ||
    { tail -n 30 "$dir/build.log" >&2; exit 1; }
  unstripped=$dir/tree/src/quenvale-init
  cp "$dir/tree/src/quenvale-init.map" "$dir/quenvale-init.map"
  "${QV_ARCH_GNU[$arch]}-strip" -s -o "$dir/quenvale-init.stripped" "$unstripped"

  # As libblkid itself is built, and linked as the init is.
  qv_blkid_cc "$arch" "$dir/floor" -s "$here/size_floor.c"
  qv_blkid_cc "$arch" "$dir/floor.unstripped" -Wl,-Map="$dir/floor.map" "$here/size_floor.c"

  release=$(stat -c %s "$QV_INIT")
  floor=$(stat -c %s "$dir/floor")
  echo "== $arch"
  echo "quenvale-init (musl, stripped):    $release B   ${QV_INIT#"$QV_ROOT"/}"
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
    "${QV_ARCH_GNU[$arch]}-nm"
done
