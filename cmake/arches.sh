# The architectures the init is built and booted for, and the name each
# tool knows them by. Sourced by the build, test and boot scripts; needs
# bash.
#
#   QV_ALL_ARCHES    the project's names, in the order the tests take them
#   QV_ARCH_MUSL     musl's triplet: /usr/include/T, /usr/lib/T, T-gcc
#   QV_ARCH_GNU      the Debian cross compiler's triplet (gcc-T, /usr/T)
#   QV_ARCH_DEB      Debian's architecture
#   QV_ARCH_QEMU     qemu-user's emulator, for the build machine's tests
#                    (none for x86_64, which the build machine runs itself)
#
# QV_BYTE_ORDER_ARCH is no target: a big-endian machine (s390x) whose
# glibc cross build runs the unit tests under qemu-user, so that code
# reading binary data in host byte order shows on the little-endian
# targets' build machine too. It has the GNU, Debian and qemu names only.
QV_ALL_ARCHES=(x86_64 mipsel mips64el armhf arm64)
declare -A QV_ARCH_MUSL=([x86_64]=x86_64-linux-musl [mipsel]=mipsel-linux-musl
                         [mips64el]=mips64el-linux-musl
                         [armhf]=arm-linux-musleabihf [arm64]=aarch64-linux-musl)
declare -A QV_ARCH_GNU=([x86_64]=x86_64-linux-gnu [mipsel]=mipsel-linux-gnu
                        [mips64el]=mips64el-linux-gnuabi64
                        [armhf]=arm-linux-gnueabihf [arm64]=aarch64-linux-gnu
                        [s390x]=s390x-linux-gnu)
declare -A QV_ARCH_DEB=([x86_64]=amd64 [mipsel]=mipsel [mips64el]=mips64el
                        [armhf]=armhf [arm64]=arm64 [s390x]=s390x)
declare -A QV_ARCH_QEMU=([x86_64]= [mipsel]=qemu-mipsel-static
                         [mips64el]=qemu-mips64el-static [armhf]=qemu-arm-static
                         [arm64]=qemu-aarch64-static [s390x]=qemu-s390x-static)
QV_BYTE_ORDER_ARCH=s390x

# qv_known_arch NAME: true for one of QV_ALL_ARCHES.
qv_known_arch() {
  [ -n "${1:-}" ] && [ -n "${QV_ARCH_MUSL[$1]:-}" ]
}

# The arches as a usage text: "x86_64|mipsel|...".
qv_arch_choices() {
  local IFS='|'
  echo "${QV_ALL_ARCHES[*]}"
}

# The kernel header trees (linux, asm, asm-generic, mtd) for ARCH: the
# machine's own for x86_64, the cross package's for the others.
qv_kernel_header_dirs() {
  local gnu=${QV_ARCH_GNU[$1]} base
  if [ "$1" = x86_64 ]; then
    echo /usr/include/linux "/usr/include/$gnu/asm" /usr/include/asm-generic /usr/include/mtd
  else
    base=/usr/$gnu/include
    echo "$base/linux" "$base/asm" "$base/asm-generic" "$base/mtd"
  fi
}
