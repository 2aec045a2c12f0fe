# A cross build with Debian's glibc toolchain for the unit tests, which
# run under qemu-user, for a machine of tools/arches.tsv other than the
# build machine's:
#
#   cmake/cross-deps.sh ARCH
#   cmake -S . -B build/test-ARCH -DCMAKE_TOOLCHAIN_FILE=cmake/gnu.cmake \
#         -DQUENVALE_ARCH=ARCH -DCMAKE_BUILD_TYPE=Release
#
# cmake/cross-deps.sh ARCH installs the compiler, qemu-user-static and the
# target's libblkid.
include(${CMAKE_CURRENT_LIST_DIR}/arches.cmake)
quenvale_toolchain_arch(cmake/gnu.cmake)
set(QUENVALE_CROSS_ARCH ${QUENVALE_ARCH})
set(QUENVALE_CROSS_TRIPLET ${QUENVALE_ARCH_GNU})
set(QUENVALE_CROSS_EMULATOR ${QUENVALE_ARCH_QEMU_USER})
set(CMAKE_C_COMPILER ${QUENVALE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUENVALE_CROSS_TRIPLET}-g++)

# The cross libc lives under /usr/TRIPLET; the host's x86_64 libraries and
# CMake packages must never be picked up (a host GTest package would link
# an x86_64 archive into a test of another machine).
set(CMAKE_FIND_ROOT_PATH /usr/${QUENVALE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The init links itself statically (src/CMakeLists.txt); the unit tests
# stay dynamic as on the host, since their allocation wrappers (ld --wrap)
# would also catch libc's own allocations in a static link.
#
# libblkid for the target comes from Debian's packages unpacked into a
# private sysroot by cmake/cross-deps.sh, never from a multiarch install
# (see there why). At run time qemu-user finds the target's loader under
# the cross prefix (-L); LD_LIBRARY_PATH puts the cross toolchain's C
# library before any multiarch libc6 of the target that the machine may
# hold for other reasons, so loader and libc always come from one package.
set(QUENVALE_CROSS_SYSROOT
    "${CMAKE_CURRENT_LIST_DIR}/../.cache/gnu-${QUENVALE_CROSS_ARCH}-sysroot"
    CACHE PATH "Unpacked libblkid-dev of the target (cmake/cross-deps.sh)")
get_filename_component(_quenvale_sysroot "${QUENVALE_CROSS_SYSROOT}" ABSOLUTE)
set(ENV{PKG_CONFIG_LIBDIR}
    "${_quenvale_sysroot}/usr/lib/${QUENVALE_ARCH_MULTIARCH}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_quenvale_sysroot}")
unset(ENV{PKG_CONFIG_PATH})
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${QUENVALE_CROSS_EMULATOR} -L /usr/${QUENVALE_CROSS_TRIPLET} -E
    "LD_LIBRARY_PATH=/usr/${QUENVALE_CROSS_TRIPLET}/lib:${_quenvale_sysroot}/usr/lib/${QUENVALE_ARCH_MULTIARCH}")
