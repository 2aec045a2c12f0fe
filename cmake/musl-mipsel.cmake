# Static musl build of quenvale-init for 32-bit MIPS little-endian (o32):
#
#   cmake/musl-deps.sh mipsel
#   cmake -S . -B build/musl-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/musl-mipsel.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build/musl-mipsel -j2
#
# The unit tests need googletest and with it libstdc++, which this
# toolchain never links; they stay with the glibc cross build
# (cmake/gnu-mipsel.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(QUENVALE_MUSL_ARCH mipsel)
set(QUENVALE_MUSL_TRIPLET mipsel-linux-musl)
set(QUENVALE_GNU_TRIPLET mipsel-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)

# Static programs need no loader, hence no -L for the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)
