# Cross build for 64-bit MIPS little-endian (n64) with Debian's mips64el-linux-gnuabi64 toolchain, for the unit tests
# under qemu-user:
#
#   cmake/cross-deps.sh mips64el
#   cmake -S . -B build/test-mips64el -DCMAKE_TOOLCHAIN_FILE=cmake/gnu-mips64el.cmake \
#         -DCMAKE_BUILD_TYPE=Release
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(QUENVALE_CROSS_ARCH mips64el)
set(QUENVALE_CROSS_TRIPLET mips64el-linux-gnuabi64)
set(QUENVALE_CROSS_EMULATOR qemu-mips64el-static)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-toolchain.cmake)
