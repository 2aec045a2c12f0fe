# Static musl build of quenvale-init for 32-bit ARM, hard-float (EABI):
#
#   cmake/musl-deps.sh armhf
#   cmake -S . -B build/musl-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/musl-armhf.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build/musl-armhf -j2
#
# As for mipsel (cmake/musl-mipsel.cmake), the unit tests stay with the
# glibc cross build, cmake/gnu-armhf.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUENVALE_MUSL_ARCH armhf)
set(QUENVALE_MUSL_TRIPLET arm-linux-musleabihf)
set(QUENVALE_GNU_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
