#!/usr/bin/env bash
# Builds the e2fsck that ships in the image: Debian's own e2fsprogs source,
# static and stripped, against musl.
#
# Usage: tools/build-e2fsck.sh [ARCH]
#                                                (x86_64 by default)
#
# The source is the e2fsprogs version this machine's apt offers (the one
# installed, so the equivalence test compares like with like), fetched
# with the private apt of tools/lib/packages-source.sh, every file checked
# against the .dsc's SHA-256 sums, unpacked with Debian's patches. The
# build is cached under .cache/musl/e2fsck-ARCH and redone only when the
# version or this script changes; the result is copied to
# build/musl-ARCH/e2fsck, where quenvale-mkimage looks for it. The last
# line printed is "PATH: N bytes".
#
# What is left out changes nothing e2fsck does: the other programs, NLS
# (messages stay English, as the init's console is), and the backtrace
# on a crash. Shrinking is by the compiler and linker alone: -Os, whole
# program optimisation, no unwind tables (C needs none; nothing here
# unwinds) and no position-independent code; on mipsel -mplt, which calls
# and addresses the program's own code and data directly instead of
# through the GOT while keeping the abicalls ABI of musl's libc.a.
#
# The allocator is the init's (src/alloc): musl's hands every freed block
# of 128 KiB or more back to the kernel at once, and e2fsck allocates and
# frees such buffers all through its passes, which made it take twice
# glibc's time (1,445 mmap and 1,442 munmap calls for one check of a
# 60,000-file system against none).
#
# With a cross toolchain of your own in the environment (CROSS_COMPILE, or
# CC and CXX, with AR, RANLIB, STRIP and SYSROOT: tools/build.sh tells
# them), nothing is installed and no setting of the machine changes; the
# e2fsprogs version is the machine's e2fsprogs' all the same, read and not
# installed. The build is cached under .cache/musl/user-ARCH-HASH/e2fsck
# and copied to build/user-ARCH/e2fsck (BUILD_DIR/e2fsck when BUILD_DIR is
# set). Whole-program optimisation is used when the toolchain's archiver
# and linker take its objects, the link is checked from the linker's
# trace (cmake/user-link.sh), and without STRIP the program is stripped
# at the link. What the build needs is checked first, as for the init.
set -euo pipefail

self=$(readlink -f "${BASH_SOURCE[0]}")
root=$(cd "$(dirname "$self")/.." && pwd)
# shellcheck source=tools/lib/source-build.sh
. "$root/tools/lib/source-build.sh"
arch=${1:-x86_64}
qv_known_arch "$arch" || { echo "usage: $0 [$(qv_arch_choices)]" >&2; exit 2; }
triplet=${QV_ARCH_MUSL[$arch]}
gnu=${QV_ARCH_GNU[$arch]}
cache=$root/.cache/musl
export DEBIAN_FRONTEND=noninteractive LC_ALL=C

# The compilers, musl and the kernel headers are the init's; so is the
# package list. This also builds the musl libblkid (cached), which the
# init needs beside this e2fsck in every image.
user=no
if qv_user_toolchain_given; then
  user=yes
  qv_user_toolchain "$arch"
fi
"$root/cmake/musl-deps.sh" "$arch" >/dev/null
if [ "$user" = yes ]; then
  qv_installed e2fsprogs ||
    { echo "build-e2fsck.sh: needs e2fsprogs installed: its version names the source to build" >&2
      exit 2; }
else
  qv_install e2fsprogs
fi
version=$(qv_package_version e2fsprogs)

# One run per architecture at a time, and one at a time through the
# source's download and unpacking, which all architectures share.
if [ "$user" = yes ]; then
  qv_source_lock "$QV_USER_DIR/.lock-e2fsck"
else
  qv_source_lock "$cache/.lock-e2fsck-$arch"
fi

script_sum=$(cat "$self" "$root/tools/lib/source-build.sh" "$root/tools/lib/packages-source.sh" \
  "$root/cmake/link-rules.cmake" "$root/cmake/check-musl-link.cmake" | sha256sum | cut -d' ' -f1)
key="e2fsprogs $version; build-e2fsck.sh $script_sum"
# The build's also names this architecture's entries of tools/arches.tsv.
build_key="$key; $triplet $gnu $(qv_kernel_header_dirs "$arch")"
out=$cache/e2fsck-$arch
shipped=$root/build/musl-$arch/e2fsck
source_dir=$cache/src
if [ "$user" = yes ]; then
  build_key="$key; $triplet; $(sha256sum <"$root/cmake/user-toolchain.sh" | cut -d' ' -f1)"
  build_key+="; $(sha256sum <"$root/cmake/user-link.sh" | cut -d' ' -f1)"
  build_key+="; ${QV_USER_LDFLAGS[*]}; ${QV_USER_CFLAGS[*]}; ${QV_USER_STRIP:+strip}"
  out=$QV_USER_DIR/e2fsck
  shipped=${BUILD_DIR:-build/user-$arch}/e2fsck
  case $shipped in /*) ;; *) shipped=$PWD/$shipped ;; esac
  source_dir=$cache/user-src
fi

finish() {
  mkdir -p "$(dirname "$shipped")"
  cp "$out/e2fsck" "$shipped.tmp"
  mv "$shipped.tmp" "$shipped"
  echo "${shipped#"$root"/}: $(stat -c %s "$shipped") bytes"
}

# Whether the user's musl has the 64-bit file functions as macros.
lfs64_macros() {
  printf '#define _LARGEFILE64_SOURCE\n#include <unistd.h>\n#ifndef lseek64\n#error\n#endif\n' |
    "$QV_USER_TOOLS/cc" -E -x c - >/dev/null 2>&1
}

# Whether the user's toolchain makes a program of -flto objects from an
# archive, as e2fsprogs' libraries are.
user_lto_works() {
  local dir status=0
  dir=$(mktemp -d)
  echo 'int helper(int x) { return x + 1; }' >"$dir/helper.c"
  echo 'int helper(int); int main(int argc, char **argv) { (void)argv; return helper(argc) - 2; }' >"$dir/main.c"
  { "$QV_USER_TOOLS/cc" -Os -flto -c "$dir/helper.c" -o "$dir/helper.o" &&
    "$QV_USER_TOOLS/cc" -Os -flto -c "$dir/main.c" -o "$dir/main.o" &&
    "$QV_USER_TOOLS/ar" rc "$dir/libhelper.a" "$dir/helper.o" &&
    "$QV_USER_TOOLS/ranlib" "$dir/libhelper.a" &&
    "$QV_USER_TOOLS/cc" -Os -flto "${QV_USER_LDFLAGS[@]}" "$dir/main.o" "$dir/libhelper.a" \
      -o "$dir/main"; } >/dev/null 2>&1 || status=1
  rm -rf "$dir"
  return $status
}

if qv_stamp_matches "$out" "$build_key" "$out/e2fsck"; then
  finish
  exit 0
fi

qv_unpack_source e2fsprogs "$version" "$key" "$source_dir"
qv_source_unlock

rm -rf "$out"
mkdir -p "$out/kernel-headers" "$out/build" "$out/tmp"

# The kernel's headers, as for libblkid: e2fsck asks them for the loop,
# floppy and fallocate interfaces, and musl's include path has none.
read -r -a kernel_src <<<"$(qv_kernel_header_dirs "$arch")"
kernel_src=("${kernel_src[@]:0:3}")  # linux, asm, asm-generic
# A user's toolchain has the kernel headers it was made for.
[ "$user" = no ] || kernel_src=()
for dir in ${kernel_src[@]+"${kernel_src[@]}"}; do
  [ -d "$dir" ] || { echo "build-e2fsck.sh: no kernel headers in $dir" >&2; exit 1; }
  ln -s "$dir" "$out/kernel-headers/$(basename "$dir")"
done

cc=$triplet-gcc
flags=(-Os -flto -ffunction-sections -fdata-sections -fno-pie
       -fno-asynchronous-unwind-tables -fno-unwind-tables)
# The same bytes from any checkout: no path of this machine in the program
# (assertions print their file's name), and a fixed seed for the names
# whole-program optimisation makes up, which are otherwise random.
flags+=("-ffile-prefix-map=$root=quenvale" -frandom-seed=e2fsck)
if [ "$arch" = mipsel ] && [ "$user" = no ]; then flags+=(-mplt); fi
cxx=("$gnu-g++" -nostdinc -isystem "/usr/include/$triplet"
     -isystem "$("$gnu-gcc" -print-file-name=include)")
# Whole-program optimisation happens at the link, with the same flags.
# The ltrans objects go to $out/tmp, where the link check expects them.
ldflags="${flags[*]} -static -no-pie -Wl,--gc-sections -Wl,--build-id=none"
ldflags+=" -Wl,-z,noseparate-code"
binutils=(AR="$gnu-gcc-ar" RANLIB="$gnu-gcc-ranlib" STRIP="$gnu-strip")
cppflags="-isystem $out/kernel-headers"
# What configure is told; the build is told the same.
configure_cflags="${flags[*]}" configure_ldflags=$ldflags
if [ "$user" = yes ]; then
  cc=$QV_USER_TOOLS/cc
  cxx=("$QV_USER_TOOLS/c++" -nostdinc++)
  # CXX as for libblkid (cmake/musl-deps.sh): the one that only compiles.
  binutils=(AR="$QV_USER_TOOLS/ar" RANLIB="$QV_USER_TOOLS/ranlib" CXX="$QV_USER_TOOLS/c++")
  [ -z "$QV_USER_STRIP" ] || binutils+=(STRIP="$QV_USER_STRIP")
  cppflags=
  user_lto_works || {
    echo "build-e2fsck.sh: the toolchain's archiver or linker takes no -flto objects; e2fsck without whole-program optimisation" >&2
    for i in "${!flags[@]}"; do [ "${flags[$i]}" != -flto ] || unset 'flags[i]'; done
  }
  ldflags="${flags[*]} ${QV_USER_LDFLAGS[*]} -Wl,--gc-sections -Wl,--build-id=none"
  # configure compiles and links hundreds of small programs, which zig
  # would each optimise whole (QV_USER_CFLAGS): without -flto there, the
  # build gets it from make (the libraries' test programs too, which gcc
  # cannot link from its -flto objects without it).
  configure_cflags="${flags[*]/-flto/} ${QV_USER_CFLAGS[*]}"
  configure_ldflags="${QV_USER_LDFLAGS[*]}"
  # musl 1.2.4 (zig 0.11's) keeps the 64-bit file functions (lseek64...)
  # as macros for the plain ones only, its off_t being 64 bits wide:
  # configure's link tests find none of them, and e2fsprogs 1.47.0 then
  # builds llseek on the kernel's _syscall5 macro, which no header has
  # had for years. They are there, as the macros.
  if lfs64_macros; then
    for name in fallocate64 fstat64 ftruncate64 lseek64 open64 posix_fadvise64 \
                pread64 pwrite64; do
      binutils+=("ac_cv_func_$name=yes")
    done
  fi
fi

# The init's allocator, compiled against musl's headers as the init is.
mkdir -p "$out/alloc"
allocator=()
for name in heap c_allocator musl_internal_alloc; do
  "${cxx[@]}" -std=c++20 "${flags[@]}" -fno-exceptions -fno-rtti \
    -I "$root/src" -c "$root/src/alloc/$name.cpp" -o "$out/alloc/$name.o"
  allocator+=("$out/alloc/$name.o")
done
link=(ALL_LDFLAGS="$ldflags ${allocator[*]} -Wl,-Map=$out/e2fsck.map")
build_cflags=()
if [ "$user" = yes ]; then
  build_cflags=(CFLAGS="${flags[*]}" LDFLAGS="$ldflags")
  # The link records what it loaded, for the check below.
  link=("${build_cflags[@]}" ALL_LDFLAGS="$ldflags ${allocator[*]}"
        LD="$root/cmake/user-link.sh $QV_USER_TOOLS $out/e2fsck.trace $cc")
fi
start=$(date +%s)
echo "configuring e2fsck for $arch" >&2
(
  cd "$out/build"
  export TMPDIR=$out/tmp
  # e2fsprogs' own libblkid and libuuid: e2fsck asks them only to name a
  # device given as LABEL= or UUID= and to make a UUID, and the shared
  # probes of util-linux's would double the program.
  # No threads: the init's allocator serves one thread only, and with
  # threads e2fsck reads the bitmaps of a file system on several at once
  # on a machine of more than one core, where their allocations race and
  # break the heap (SIGBUS or SIGSEGV in the allocator, now and then).
  "$source_tree/configure" -q \
    --build=x86_64-pc-linux-gnu --host="$triplet" \
    --disable-nls --disable-rpath --disable-elf-shlibs --disable-bsd-shlibs \
    --disable-debugfs --disable-imager --disable-resizer --disable-defrag \
    --disable-fsck --disable-e2initrd-helper --disable-uuidd \
    --disable-fuse2fs --disable-backtrace \
    --enable-libuuid --enable-libblkid --without-pthread \
    CC="$cc" "${binutils[@]}" \
    CFLAGS="$configure_cflags" CPPFLAGS="$cppflags" LDFLAGS="$configure_ldflags" \
    PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH= \
    >"$out/configure.log" 2>&1 || { tail -30 "$out/configure.log" >&2; exit 1; }
  echo "building e2fsck for $arch" >&2
  date +%s >"$out/configured"
  make -j"$(nproc)" libs ${build_cflags[@]+"${build_cflags[@]}"} >"$out/build.log" 2>&1 ||
    { tail -30 "$out/build.log" >&2; exit 1; }
  # No -rdynamic: it serves the backtrace only, and exporting every
  # symbol keeps the link from dropping the ones nothing calls.
  make -C e2fsck e2fsck RDYNAMIC= "${link[@]}" >>"$out/build.log" 2>&1 ||
    { tail -30 "$out/build.log" >&2; exit 1; }
)
built=$(cat "$out/configured")

if [ "$user" = yes ]; then
  # The same rules, from the linker's trace: e2fsprogs' own files, the
  # toolchain's C library and runtime, no C++ library, nothing of musl's
  # allocator, no threads.
  cmake -DTRACE="$out/e2fsck.trace" -DALLOWED="$out" -DPROGRAM=e2fsck -DNO_THREADS=ON \
    -P "$root/cmake/check-musl-link.cmake" ||
    { echo "build-e2fsck.sh: the link check refused e2fsck" >&2; exit 1; }
  strip=$QV_USER_STRIP readelf=readelf
else
  # Every file the link loaded must be e2fsprogs' own, musl's or gcc's: a
  # piece of glibc pulled in by a stray path would run in no RAM disk. Nor
  # may it hold musl's allocator or start a thread (cmake/link-rules.cmake).
  qv_map_link_check "$out/e2fsck.map" e2fsck "$out/build/e2fsck" "$out" "/usr/lib/$triplet" \
    "$(dirname "$("$cc" -print-libgcc-file-name)")" ||
    { echo "build-e2fsck.sh: the link check refused e2fsck" >&2; exit 1; }
  strip=$gnu-strip readelf=$gnu-readelf
fi

# Without a strip program of the toolchain's, the link stripped it.
if [ -n "$strip" ]; then
  "$strip" -o "$out/e2fsck" "$out/build/e2fsck/e2fsck"
else
  cp "$out/build/e2fsck/e2fsck" "$out/e2fsck"
fi
if command -v "$readelf" >/dev/null &&
   "$readelf" -l "$out/e2fsck" | grep -q -e INTERP -e DYNAMIC; then
  echo "build-e2fsck.sh: $out/e2fsck is not static" >&2
  exit 1
fi
echo "e2fsck for $arch: configure $(( built - start )) s," \
     "build $(( $(date +%s) - built )) s" >&2
echo "$build_key" >"$out/stamp"
finish
