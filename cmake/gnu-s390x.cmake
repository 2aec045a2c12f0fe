# Cross build for IBM Z (s390x, 64-bit big-endian) with Debian's
# s390x-linux-gnu toolchain. No target of the init: the unit tests of a
# big-endian machine, under qemu-user, for every place that reads binary
# data in host byte order.
#
#   cmake/cross-deps.sh s390x
#   cmake -S . -B build/test-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/gnu-s390x.cmake \
#         -DCMAKE_BUILD_TYPE=Release
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUENVALE_CROSS_ARCH s390x)
set(QUENVALE_CROSS_TRIPLET s390x-linux-gnu)
set(QUENVALE_CROSS_EMULATOR qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-toolchain.cmake)
