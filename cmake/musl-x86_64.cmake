# Static musl build of quenvale-init for x86_64:
#
#   cmake/musl-deps.sh x86_64
#   cmake -S . -B build/musl-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/musl-x86_64.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build/musl-x86_64 -j2
#
# The unit tests need googletest and with it libstdc++, which this
# toolchain never links; they stay with the glibc build.
#
# The build machine runs musl x86_64 programs as they are, so this is not
# a cross build and needs no emulator.
set(QUENVALE_MUSL_ARCH x86_64)
set(QUENVALE_MUSL_TRIPLET x86_64-linux-musl)
set(QUENVALE_GNU_TRIPLET x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)
