# Static musl build of quenvale-init for 64-bit ARM (AArch64):
#
#   cmake/musl-deps.sh arm64
#   cmake -S . -B build/musl-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/musl-arm64.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build/musl-arm64 -j2
#
# As for mipsel (cmake/musl-mipsel.cmake), the unit tests stay with the
# glibc cross build, cmake/gnu-arm64.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUENVALE_MUSL_ARCH arm64)
set(QUENVALE_MUSL_TRIPLET aarch64-linux-musl)
set(QUENVALE_GNU_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
