# Static musl build of quenvale-init for a machine of tools/arches.tsv,
# with Debian's gcc for it:
#
#   cmake/musl-deps.sh ARCH
#   cmake -S . -B build/musl-ARCH -DCMAKE_TOOLCHAIN_FILE=cmake/musl.cmake \
#         -DQUENVALE_ARCH=ARCH -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#
# (tools/build.sh ARCH does all of it.) The unit tests need googletest and
# with it libstdc++, which this toolchain never links; they stay with the
# glibc cross build (cmake/gnu.cmake).
#
# The compilers are Debian's own gcc and g++, pointed at musl: musl's
# headers instead of glibc's and libstdc++'s, musl's start files and
# libc.a at the link. No C++ library is linked at all, so C++ code is
# limited to what needs no run-time support beyond libgcc: no exceptions,
# no RTTI, no thread-safe statics, and operator new and delete, if used,
# defined by the program itself.
include(${CMAKE_CURRENT_LIST_DIR}/arches.cmake)
quenvale_toolchain_arch(cmake/musl.cmake)
if(NOT QUENVALE_ARCH_MUSL)
  message(FATAL_ERROR "${QUENVALE_ARCH} has no musl build (tools/arches.tsv)")
endif()
set(QUENVALE_MUSL_ARCH ${QUENVALE_ARCH})
set(QUENVALE_MUSL_TRIPLET ${QUENVALE_ARCH_MUSL})
set(QUENVALE_GNU_TRIPLET ${QUENVALE_ARCH_GNU})
# Static programs need no loader, hence no -L for the emulator.
if(QUENVALE_ARCH_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENVALE_ARCH_QEMU_USER})
endif()

set(_musl_triplet ${QUENVALE_MUSL_TRIPLET})
set(QUENVALE_MUSL_DIR "${CMAKE_CURRENT_LIST_DIR}/../.cache/musl/${QUENVALE_MUSL_ARCH}"
    CACHE PATH "libblkid and kernel headers made by cmake/musl-deps.sh")
get_filename_component(_musl_dir "${QUENVALE_MUSL_DIR}" ABSOLUTE)
if(NOT EXISTS "${_musl_dir}/sysroot/lib/pkgconfig/blkid.pc")
  message(FATAL_ERROR
    "no musl libblkid in ${_musl_dir}: run cmake/musl-deps.sh ${QUENVALE_MUSL_ARCH}")
endif()

set(CMAKE_C_COMPILER ${QUENVALE_GNU_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUENVALE_GNU_TRIPLET}-g++)

# gcc's private headers (stddef.h, stdarg.h, the intrinsics) are the only
# ones kept from the compiler; the kernel headers come from a directory
# holding nothing but linux/, asm/, asm-generic/ and mtd/, since the rest
# of the glibc include tree beside them would shadow musl's headers.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
# -fno-pie as for libblkid: position-independent code only costs a static
# program.
set(_musl_includes
    "-fno-pie -nostdinc -isystem /usr/include/${_musl_triplet} -isystem ${_gcc_include} -isystem ${_musl_dir}/kernel-headers")

# musl's own specs file for gcc names its start files, libc.a and libgcc.
# g++ would add libstdc++ and libm on top of whatever it is told, so C++
# programs are linked by the C driver. Static always: the RAM disk holds
# no dynamic loader.
set(_musl_link "-static -specs=/usr/lib/${_musl_triplet}/musl-gcc.specs")
# What the link may load from besides the build tree and libgcc
# (src/CMakeLists.txt checks it on every link).
set(QUENVALE_MUSL_LIBDIR /usr/lib/${_musl_triplet})
set(QUENVALE_MUSL_SYSROOT "${_musl_dir}/sysroot")

include(${CMAKE_CURRENT_LIST_DIR}/static-rules.cmake)
quenvale_static_rules("${_musl_dir}/sysroot" "${_musl_includes}" "${_musl_includes}"
                      "${CMAKE_C_COMPILER} ${_musl_link}")
