# shellcheck shell=bash
# The skeleton of every build from a Debian source package (libblkid for
# the init and for the fuzz targets, cmake/musl-deps.sh; e2fsck,
# tools/build-e2fsck.sh): one build per output at a time, a stamp that
# says what a cached build was made from, the source unpacked once with
# Debian's patches and the project's own, and the link check.
#
#   qv_source_lock LOCK            holds LOCK (a file) and the shared lock
#                                  of the source tree and the private apt
#   qv_source_unlock               gives the shared lock back
#   qv_stamp_matches DIR KEY FILE  true when DIR was built from KEY and
#                                  still holds FILE
#   qv_unpack_source PACKAGE VERSION KEY DIR [PATCH...]
#                                  sets source_tree: the source unpacked
#                                  under DIR, patched, once per KEY
#   qv_map_link_check MAP PROGRAM LINK-DIR [ALLOWED-DIR...]
#                                  fails unless GNU ld's MAP of a link run
#                                  in LINK-DIR shows what a static musl
#                                  program may link
#                                  (cmake/link-rules.cmake), without
#                                  threads
[ -z "${QV_LIB_SOURCE_BUILD:-}" ] || return 0
QV_LIB_SOURCE_BUILD=1
# A build needs the machines, the packages, and the toolchain it runs
# with: Debian's, or one of the user's own (cmake/user-toolchain.sh).
# shellcheck source=tools/lib/arches.sh
. "$(dirname "${BASH_SOURCE[0]}")/arches.sh"
# shellcheck source=tools/lib/packages.sh
. "$QV_LIB/packages.sh"
# shellcheck source=tools/lib/packages-source.sh
. "$QV_LIB/packages-source.sh"
# shellcheck source=cmake/user-toolchain.sh
. "$QV_ROOT/cmake/user-toolchain.sh"

QV_SOURCE_CACHE=$QV_ROOT/.cache/musl

qv_source_lock() {
  mkdir -p "$QV_SOURCE_CACHE" "$(dirname "$1")"
  exec 8>"$1"
  flock 8
  exec 9>"$QV_SOURCE_CACHE/.lock"
  flock 9
}

# The build itself may run beside another output's.
qv_source_unlock() {
  exec 9>&-
}

qv_stamp_matches() {
  [ "$(cat "$1/stamp" 2>/dev/null)" = "$2" ] && [ -e "$3" ]
}

qv_unpack_source() {
  local package=$1 version=$2 key=$3 dir=$4 patch
  shift 4
  debian_source "$package" "$version"
  # One tree per key: checkouts of other versions of these scripts may
  # share the cache, and a tree is never unpacked again under a build
  # that reads it.
  source_tree=$dir/$package-$version-$(sha256sum <<<"$key" | cut -c1-12)
  mkdir -p "$dir"
  [ "$(cat "$source_tree.stamp" 2>/dev/null)" != "$key" ] || return 0
  qv_note "unpacking $package $version with Debian's patches"
  rm -rf "$source_tree" "$source_tree.tmp" "$source_tree.stamp"
  # Its signature needs the uploader's key, which the machine lacks and
  # need not have: the checksums already tie the files to the archive's
  # signed index.
  dpkg-source -x "$dsc" "$source_tree.tmp" >"$dir/unpack-$package.log" 2>&1 ||
    { cat "$dir/unpack-$package.log" >&2; return 1; }
  for patch; do
    patch -d "$source_tree.tmp" -p1 --forward --quiet <"$patch" ||
      { qv_note "$(basename "$patch") does not apply"; return 1; }
  done
  # Patches to configure.ac or a Makefile.am would make make run the
  # autotools, newer as they are than the shipped configure and
  # Makefile.in. Dating the generated files after them keeps the shipped
  # ones, so no autotools need be installed.
  (cd "$source_tree.tmp" && touch aclocal.m4 && touch configure && touch Makefile.in &&
   if [ -e config.h.in ]; then touch config.h.in; fi)
  mv "$source_tree.tmp" "$source_tree"
  echo "$key" >"$source_tree.stamp"
}

qv_map_link_check() {
  local map=$1 program=$2 dir=$3 allowed
  shift 3
  allowed=$(IFS=';'; echo "$*")
  # The map names files as the link did, relative to where it ran.
  (cd "$dir" && cmake -DMAP="$map" -DALLOWED="$allowed" -DPROGRAM="$program" -DNO_THREADS=ON \
     -P "$QV_ROOT/cmake/check-musl-link.cmake")
}
