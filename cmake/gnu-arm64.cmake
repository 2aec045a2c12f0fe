# Cross build for 64-bit ARM with Debian's aarch64-linux-gnu toolchain, for the unit tests
# under qemu-user:
#
#   cmake/cross-deps.sh arm64
#   cmake -S . -B build/test-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/gnu-arm64.cmake \
#         -DCMAKE_BUILD_TYPE=Release
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUENVALE_CROSS_ARCH arm64)
set(QUENVALE_CROSS_TRIPLET aarch64-linux-gnu)
set(QUENVALE_CROSS_EMULATOR qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-toolchain.cmake)
