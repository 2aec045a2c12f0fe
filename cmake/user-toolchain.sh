# shellcheck shell=bash
# A cross toolchain of the user's own for the musl builds (tools/build.sh,
# tools/build-e2fsck.sh, cmake/musl-deps.sh): a Buildroot, Yocto or
# OpenWrt toolchain, Zig (tools/zig-toolchain.sh), any gcc or clang whose
# C library is musl. It is given in the environment:
#
#   CROSS_COMPILE  the prefix of its programs: PREFIXgcc, PREFIXg++,
#                  PREFIXar, PREFIXranlib, PREFIXstrip (when there is one)
#   CC, CXX        the C and C++ compilers, commands whose words are
#                  separated by spaces ("zig cc -target mipsel-linux-musl");
#                  they take the place of CROSS_COMPILE's. The C++ compiler
#                  only compiles: the C driver links, with no C++ library.
#   AR, RANLIB     the archiver and its index maker, likewise
#   STRIP          optional; without one, the programs are stripped at the
#                  link
#   SYSROOT        optional; given to both compilers as --sysroot
#
#   . cmake/user-toolchain.sh
#   qv_user_toolchain_given   true when any of them is set (and not empty)
#   qv_user_toolchain ARCH    checks the toolchain and the build machine's
#                             tools, prints one line for each thing missing
#                             and exits 2 if any is; else sets:
#     QV_USER_DIR     .cache/musl/user-ARCH-HASH, HASH naming the
#                     toolchain's programs, their versions and SYSROOT;
#                     libblkid and e2fsck built with it are cached there
#     QV_USER_TOOLS   QV_USER_DIR/toolchain: cc, c++, ar, ranlib and, when
#                     given, strip, each one command for the user's (so
#                     that configure, make and CMake take them as they
#                     are), and what cmake/user-link.sh and the toolchain
#                     file need to know of the driver
#     QV_USER_STRIP   the strip command, or empty
#     QV_USER_LDFLAGS the link options for a static program that the
#                     driver takes (array), -s among them without a STRIP
#     QV_USER_CFLAGS  compiler options for configure's many small
#                     programs (array): zig cc compiles and links each with
#                     link-time optimisation when told -Os, which made
#                     libblkid's configure take ten minutes instead of two
#
# Nothing is installed and no setting of the machine changes: the
# toolchain is taken as it is. The Debian source of util-linux and
# e2fsprogs is still fetched, with the private apt of
# tools/lib/packages-source.sh, into .cache.

# shellcheck source=tools/lib/arches.sh
. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib/arches.sh"
# shellcheck source=tools/lib/packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib/packages.sh"
# shellcheck source=tools/lib/packages-source.sh
. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib/packages-source.sh"

QV_USER_VARS=(CROSS_COMPILE CC CXX AR RANLIB STRIP SYSROOT)
qv_user_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

qv_user_toolchain_given() {
  local name
  for name in "${QV_USER_VARS[@]}"; do
    [ -z "${!name:-}" ] || return 0
  done
  return 1
}

# The version of Debian's util-linux whose libblkid the init is built
# with: the machine's libblkid-dev, as in the Debian build, or else the
# libblkid1 every Debian system has (the same source). Read, never
# installed.
qv_user_blkid_version() {
  local name
  for name in libblkid-dev:amd64 libblkid-dev libblkid1:amd64 libblkid1; do
    if qv_installed "$name"; then
      qv_package_version "$name"
      return 0
    fi
  done
  return 1
}

# qv_user_found COMMAND: whether the first word of COMMAND is found.
qv_user_found() {
  local words=()
  read -r -a words <<<"$1"
  [ ${#words[@]} -gt 0 ] && command -v "${words[0]}" >/dev/null
}

# qv_user_wrapper FILE COMMAND [EXTRA...]: a script that runs COMMAND's
# words, then EXTRA, then its own arguments.
qv_user_wrapper() {
  local file=$1 command=$2 words=()
  shift 2
  read -r -a words <<<"$command"
  {
    echo '#!/usr/bin/env bash'
    if [ "${file##*/}" = c++ ]; then
      # The C++ driver compiles only: the C driver links, with no C++
      # library. Refused, a link makes CMake name the compiler from an
      # object file and configure take C++ for missing, instead of
      # linking the C++ library, which zig would first build for it, a
      # few minutes for each set of options.
      cat <<'EOF'
link=no
for arg; do
  case $arg in
    -c|-S|-E|-M|-MM) link=no; break ;;
    -*) ;;
    *.c|*.cc|*.cpp|*.cxx|*.C|*.o|*.a|*.so|*.lo) link=yes ;;
  esac
done
if [ "$link" = yes ]; then
  echo "c++: the C++ compiler only compiles here; the C driver links, with no C++ library" >&2
  exit 1
fi
EOF
    fi
    printf 'exec'
    printf ' %q' "${words[@]}" "$@"
    echo ' "$@"'
  } >"$file.tmp"
  chmod +x "$file.tmp"
  mv "$file.tmp" "$file"
}

qv_user_toolchain() {
  local arch=$1 me=${0##*/} missing=() name tool package
  local cc cxx ar ranlib strip
  cc=${CC:-${CROSS_COMPILE:+${CROSS_COMPILE}gcc}}
  cxx=${CXX:-${CROSS_COMPILE:+${CROSS_COMPILE}g++}}
  ar=${AR:-${CROSS_COMPILE:+${CROSS_COMPILE}ar}}
  ranlib=${RANLIB:-${CROSS_COMPILE:+${CROSS_COMPILE}ranlib}}
  strip=${STRIP:-}
  if [ -z "$strip" ] && [ -n "${CROSS_COMPILE:-}" ] &&
     command -v "${CROSS_COMPILE}strip" >/dev/null; then
    strip=${CROSS_COMPILE}strip
  fi

  # The build machine's tools: the builds', and the source fetch's
  # (tools/lib/packages-source.sh).
  local -A debian_package=([cmake]=cmake [make]=make [pkg-config]=pkg-config [patch]=patch
                     [xz]=xz-utils [realpath]=coreutils [flock]=util-linux [awk]=gawk)
  for tool in "${!QV_SOURCE_FETCH_TOOLS[@]}"; do
    debian_package[$tool]=${QV_SOURCE_FETCH_TOOLS[$tool]}
  done
  for tool in "${!debian_package[@]}"; do
    package=${debian_package[$tool]}
    command -v "$tool" >/dev/null ||
      missing+=("needs $tool (Debian's $package package)")
  done
  local variable
  for name in cc:CC cxx:CXX ar:AR ranlib:RANLIB strip:STRIP; do
    variable=${name%%:*}
    tool=${!variable}
    [ -n "$tool" ] || continue
    qv_user_found "$tool" || missing+=("${name#*:}: '${tool%% *}' is not found")
  done
  [ -n "$cc" ] || missing+=("needs a C compiler: CC, or CROSS_COMPILE for PREFIXgcc")
  [ -n "$cxx" ] || missing+=("needs a C++ compiler: CXX, or CROSS_COMPILE for PREFIXg++")
  [ -n "$ar" ] || missing+=("needs the toolchain's archiver: AR, or CROSS_COMPILE for PREFIXar")
  [ -n "$ranlib" ] ||
    missing+=("needs the toolchain's index maker: RANLIB, or CROSS_COMPILE for PREFIXranlib")
  if [ -n "${SYSROOT:-}" ] && ! [ -d "$SYSROOT" ]; then
    missing+=("SYSROOT: $SYSROOT is no directory")
  fi
  if ! qv_user_blkid_version >/dev/null 2>&1; then
    missing+=("needs Debian's libblkid1 or libblkid-dev: its version names the util-linux source to build")
  fi
  if [ ${#missing[@]} -eq 0 ] && ! debian_source_available; then
    missing+=("needs a Debian archive among the machine's package sources, for Debian's util-linux and e2fsprogs sources")
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    printf "$me: %s\n" "${missing[@]}" >&2
    exit 2
  fi

  local sysroot_option=() identity words=() cc_words=()
  read -r -a cc_words <<<"$cc"
  [ -z "${SYSROOT:-}" ] || sysroot_option=("--sysroot=$SYSROOT")
  identity=$(
    echo "arch $arch"
    for name in cc cxx ar ranlib strip; do
      read -r -a words <<<"${!name}"
      [ ${#words[@]} -gt 0 ] || continue
      echo "$name ${!name} ($(readlink -f "$(command -v "${words[0]}")"))"
    done
    echo "sysroot ${SYSROOT:-}"
    read -r -a words <<<"$cc"
    "${words[@]}" ${sysroot_option[@]+"${sysroot_option[@]}"} --version 2>&1 | head -n 3
    read -r -a words <<<"$cxx"
    "${words[@]}" ${sysroot_option[@]+"${sysroot_option[@]}"} --version 2>&1 | head -n 3
  )
  QV_USER_DIR=$qv_user_root/.cache/musl/user-$arch-$(sha256sum <<<"$identity" | cut -c1-12)
  QV_USER_TOOLS=$QV_USER_DIR/toolchain
  local new=no
  [ -d "$QV_USER_DIR" ] || new=yes
  mkdir -p "$QV_USER_TOOLS"
  echo "$identity" >"$QV_USER_TOOLS/identity"
  qv_user_wrapper "$QV_USER_TOOLS/cc" "$cc" ${sysroot_option[@]+"${sysroot_option[@]}"}
  qv_user_wrapper "$QV_USER_TOOLS/c++" "$cxx" ${sysroot_option[@]+"${sysroot_option[@]}"}
  qv_user_wrapper "$QV_USER_TOOLS/ar" "$ar"
  qv_user_wrapper "$QV_USER_TOOLS/ranlib" "$ranlib"
  # shellcheck disable=SC2034 # for the scripts that source this file
  QV_USER_STRIP=
  if [ -n "$strip" ]; then
    qv_user_wrapper "$QV_USER_TOOLS/strip" "$strip"
    # shellcheck disable=SC2034
    QV_USER_STRIP=$QV_USER_TOOLS/strip
  else
    rm -f "$QV_USER_TOOLS/strip"
  fi
  if ! qv_user_probe "$arch"; then
    # A toolchain that builds nothing leaves nothing behind.
    [ "$new" = no ] || rm -rf "$QV_USER_DIR"
    exit 2
  fi
  # For cmake/user-toolchain.cmake.
  local IFS=';'
  cat >"$QV_USER_TOOLS/settings.cmake.tmp" <<EOF
set(QUENVALE_USER_PROCESSOR ${QV_ARCH_MUSL[$arch]%%-*})
set(QUENVALE_USER_LDFLAGS "${QV_USER_LDFLAGS[*]}")
EOF
  mv "$QV_USER_TOOLS/settings.cmake.tmp" "$QV_USER_TOOLS/settings.cmake"
}

# Tries the toolchain on small programs; prints what fails, one line
# each, and returns 1 if anything did.
qv_user_probe() {
  local arch=$1 me=${0##*/} tools=$QV_USER_TOOLS dir failed=()
  dir=$(mktemp -d)
  # shellcheck disable=SC2064 # the directory is this call's
  trap "rm -rf '$dir'" RETURN
  cat >"$dir/main.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
int helper(int);
int main(int argc, char **argv) {
  char *text = malloc(16);
  if (!text) return 1;
  snprintf(text, 16, "%d", helper(argc));
  puts(argv[0]);
  free(text);
  return 0;
}
EOF
  echo 'int helper(int x) { return x + 1; }' >"$dir/helper.c"
  cat >"$dir/libc.c" <<'EOF'
#include <stdlib.h>
#if defined(__GLIBC__) || defined(__UCLIBC__) || defined(__BIONIC__)
#error not musl
#endif
EOF
  cat >"$dir/kernel.c" <<'EOF'
#include <linux/fs.h>
#include <linux/loop.h>
#include <asm/ioctl.h>
EOF
  cat >"$dir/plain.cpp" <<'EOF'
#include <stdlib.h>
#include <string.h>
namespace { struct Sized { size_t n; explicit Sized(const char* s) : n(strlen(s)) {} }; }
extern "C" size_t sized(const char* s) { return Sized(s).n; }
EOF
  # first_error LOG: the first line that says something.
  first_error() { grep -m 1 -i -E 'error|not found|unsupported|unknown' "$1" || head -n 1 "$1"; }
  local log=$dir/log
  if ! "$tools/cc" -Os -c "$dir/main.c" -o "$dir/main.o" >"$log" 2>&1 ||
     ! "$tools/cc" -Os -c "$dir/helper.c" -o "$dir/helper.o" >"$log" 2>&1; then
    failed+=("CC cannot compile C: $(first_error "$log")")
  elif ! "$tools/cc" -c "$dir/libc.c" -o "$dir/libc.o" >"$log" 2>&1; then
    failed+=("CC's C library is not musl (its headers are glibc's, uClibc's or Bionic's); the init is built against musl")
  fi
  "$tools/cc" -c "$dir/kernel.c" -o "$dir/kernel.o" >"$log" 2>&1 ||
    failed+=("CC finds no Linux kernel headers (<linux/fs.h>, <linux/loop.h>, <asm/ioctl.h>), which libblkid and e2fsck need; a toolchain's sysroot holds them")
  "$tools/c++" -std=c++20 -Os -fno-exceptions -fno-rtti -nostdinc++ \
    -c "$dir/plain.cpp" -o "$dir/plain.o" >"$log" 2>&1 ||
    failed+=("CXX cannot compile C++20 with C headers alone (-nostdinc++ -fno-exceptions -fno-rtti): $(first_error "$log")")
  # Every link is optimised for size and, without a STRIP, strips,
  # configure's, CMake's trials and these included: zig builds its musl,
  # start files and compiler runtime anew for each optimisation level and
  # for stripping or not, a minute and a half each on two cores, and so
  # makes one set for all.
  QV_USER_LDFLAGS=(-static -Os)
  [ -n "$QV_USER_STRIP" ] || QV_USER_LDFLAGS+=(-s)
  if [ ${#failed[@]} -eq 0 ]; then
    if ! "$tools/ar" rc "$dir/libhelper.a" "$dir/helper.o" >"$log" 2>&1 ||
       ! "$tools/ranlib" "$dir/libhelper.a" >"$log" 2>&1; then
      failed+=("AR and RANLIB cannot make an archive: $(first_error "$log")")
    elif ! "$tools/cc" "${QV_USER_LDFLAGS[@]}" "$dir/main.o" "$dir/libhelper.a" \
           -o "$dir/main" >"$log" 2>&1; then
      failed+=("CC cannot link a static program with an archive AR made: $(first_error "$log")")
    fi
  fi
  if [ ${#failed[@]} -gt 0 ]; then
    printf "$me: %s\n" "${failed[@]}" >&2
    return 1
  fi

  # More options the builds want beyond those every linker takes: no PIE
  # (a static program only pays for it) and no page gap between code and
  # data (lld leaves none anyway, and zig cc refuses the option).
  local option
  for option in -no-pie -Wl,-z,noseparate-code; do
    "$tools/cc" "${QV_USER_LDFLAGS[@]}" "$option" "$dir/main.o" "$dir/libhelper.a" \
      -o "$dir/main" >/dev/null 2>&1 && QV_USER_LDFLAGS+=("$option")
  done

  QV_USER_CFLAGS=()
  "$tools/cc" -fno-lto -c "$dir/helper.c" -o "$dir/helper2.o" >/dev/null 2>&1 &&
    QV_USER_CFLAGS+=(-fno-lto)

  # How a link tells what it loaded (cmake/user-link.sh).
  local link=("$tools/cc" "${QV_USER_LDFLAGS[@]}" "$dir/main.o" "$dir/libhelper.a" -o "$dir/main")
  if "${link[@]}" -Wl,--trace,--trace >"$dir/trace" 2>/dev/null &&
     grep -q 'libhelper\.a' "$dir/trace"; then
    echo trace >"$tools/link-method.tmp"
    mv "$tools/link-method.tmp" "$tools/link-method"
  else
    echo rerun >"$tools/link-method.tmp"
    local linker=() line words=()
    "${link[@]}" -v >/dev/null 2>"$dir/verbose" || true
    line=$(awk '{ n = $1; sub(/.*\//, "", n) }
                n ~ /^(ld|ld\.(lld|bfd|gold|mold)|.*-ld(\.(bfd|gold))?)$/ && !/ -r / { last = $0 }
                END { print last }' "$dir/verbose")
    read -r -a words <<<"$line"
    if [ ${#words[@]} -gt 0 ]; then
      # A driver that links in-process runs its linker as a command of
      # its own (zig ld.lld); an outside linker is run as it is named.
      if "${cc_words[0]}" "${words[0]}" --version >/dev/null 2>&1; then
        linker=("${cc_words[0]}" "${words[0]}")
      elif command -v "${words[0]}" >/dev/null; then
        linker=("${words[0]}")
      fi
    fi
    if [ ${#linker[@]} -eq 0 ]; then
      echo "$me: CC's linker takes no -Wl,--trace, and -v names no linker to run again with it: the link check could not see what a link loads" >&2
      return 1
    fi
    echo "${linker[*]}" >"$tools/linker"
    mv "$tools/link-method.tmp" "$tools/link-method"
  fi
  "$qv_user_root/cmake/user-link.sh" "$tools" "$dir/trace" "${link[@]}" >"$log" 2>&1 ||
    { echo "$me: a traced link fails: $(first_error "$log")" >&2; return 1; }
  grep -q '/libhelper\.a(.*helper' "$dir/trace" && grep -q '/libc\.a(' "$dir/trace" ||
    { echo "$me: the link trace names no archive member: the link check cannot see what a link loads" >&2; return 1; }
  [ -s "$dir/trace.runtime" ] ||
    { echo "$me: a traced link found no C library or runtime" >&2; return 1; }
  return 0
}
