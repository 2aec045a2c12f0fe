# Cross build for 32-bit hard-float ARM with Debian's arm-linux-gnueabihf toolchain, for the unit tests
# under qemu-user:
#
#   cmake/cross-deps.sh armhf
#   cmake -S . -B build/test-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/gnu-armhf.cmake \
#         -DCMAKE_BUILD_TYPE=Release
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUENVALE_CROSS_ARCH armhf)
set(QUENVALE_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUENVALE_CROSS_EMULATOR qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-toolchain.cmake)

# gcc notes where a C++ template's argument passing changed in GCC 7.1; the
# tests link nothing built by an older compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
