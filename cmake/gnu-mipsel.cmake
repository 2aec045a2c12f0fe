# Cross build for 32-bit MIPS little-endian (o32) with Debian's mipsel-linux-gnu toolchain, for the unit tests
# under qemu-user:
#
#   cmake/cross-deps.sh mipsel
#   cmake -S . -B build/test-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/gnu-mipsel.cmake \
#         -DCMAKE_BUILD_TYPE=Release
set(CMAKE_SYSTEM_PROCESSOR mips)
set(QUENVALE_CROSS_ARCH mipsel)
set(QUENVALE_CROSS_TRIPLET mipsel-linux-gnu)
set(QUENVALE_CROSS_EMULATOR qemu-mipsel-static)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-toolchain.cmake)
