# Cross build for 32-bit MIPS little-endian (o32) with Debian's
# mipsel-linux-gnu toolchain:
#
#   cmake -S . -B build/mipsel-release \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
#         -DCMAKE_BUILD_TYPE=Release
#
# cmake/mipsel-deps.sh installs the compiler, qemu-user-static and a mipsel
# libblkid.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(QUENVALE_CROSS_TRIPLET mipsel-linux-gnu)
set(CMAKE_C_COMPILER ${QUENVALE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUENVALE_CROSS_TRIPLET}-g++)

# The cross libc lives under /usr/mipsel-linux-gnu; the host's x86_64
# libraries and CMake packages must never be picked up (a host GTest
# package would link an x86_64 archive into a MIPS test).
set(CMAKE_FIND_ROOT_PATH /usr/${QUENVALE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The init links itself statically (src/CMakeLists.txt); the unit tests
# stay dynamic as on the host, since their allocation wrappers (ld --wrap)
# would also catch libc's own allocations in a static link. qemu-user finds
# the target's loader and libc under the cross prefix.
set(QUENVALE_QEMU_USER qemu-mipsel-static -L /usr/${QUENVALE_CROSS_TRIPLET})

# libblkid for the target: Debian's multiarch libblkid-dev:mipsel when it is
# installed; otherwise the same packages unpacked into a private sysroot
# (multiarch installs fail whenever the host's Multi-Arch: same packages,
# linux-libc-dev and libssl3 among them, are newer than the mipsel ones).
set(QUENVALE_MIPSEL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../.cache/mipsel-sysroot"
    CACHE PATH "Unpacked mipsel libblkid-dev when the multiarch one is missing")
set(_quenvale_multiarch_pc /usr/lib/${QUENVALE_CROSS_TRIPLET}/pkgconfig)
if(EXISTS "${_quenvale_multiarch_pc}/blkid.pc")
  set(ENV{PKG_CONFIG_LIBDIR} "${_quenvale_multiarch_pc}:/usr/share/pkgconfig")
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
elseif(EXISTS "${QUENVALE_MIPSEL_SYSROOT}/usr/lib/${QUENVALE_CROSS_TRIPLET}/pkgconfig/blkid.pc")
  get_filename_component(_quenvale_sysroot "${QUENVALE_MIPSEL_SYSROOT}" ABSOLUTE)
  set(ENV{PKG_CONFIG_LIBDIR}
      "${_quenvale_sysroot}/usr/lib/${QUENVALE_CROSS_TRIPLET}/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_quenvale_sysroot}")
  # The dynamic libblkid of the tests is there too.
  list(APPEND QUENVALE_QEMU_USER -E
       "LD_LIBRARY_PATH=${_quenvale_sysroot}/usr/lib/${QUENVALE_CROSS_TRIPLET}")
else()
  # Still never the host's blkid: pkg-config then fails with a clear name.
  set(ENV{PKG_CONFIG_LIBDIR} "${_quenvale_multiarch_pc}")
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
endif()
unset(ENV{PKG_CONFIG_PATH})
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENVALE_QEMU_USER})
