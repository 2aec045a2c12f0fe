# Static musl build of quenvale-init for 64-bit MIPS little-endian (n64):
#
#   cmake/musl-deps.sh mips64el
#   cmake -S . -B build/musl-mips64el -DCMAKE_TOOLCHAIN_FILE=cmake/musl-mips64el.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build/musl-mips64el -j2
#
# As for mipsel (cmake/musl-mipsel.cmake), the unit tests stay with the
# glibc cross build, cmake/gnu-mips64el.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(QUENVALE_MUSL_ARCH mips64el)
set(QUENVALE_MUSL_TRIPLET mips64el-linux-musl)
set(QUENVALE_GNU_TRIPLET mips64el-linux-gnuabi64)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips64el-static)
