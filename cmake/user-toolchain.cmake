# Static musl build of quenvale-init with a cross toolchain of the user's
# own (a Buildroot, Yocto or OpenWrt toolchain, Zig), for any of the
# architectures of tools/arches.tsv. tools/build.sh ARCH prepares it from
# CROSS_COMPILE or CC and CXX (cmake/user-toolchain.sh) and runs:
#
#   cmake -S . -B build/user-ARCH -DCMAKE_TOOLCHAIN_FILE=cmake/user-toolchain.cmake \
#         -DQUENVALE_USER_ARCH=ARCH -DQUENVALE_USER_DIR=.cache/musl/user-ARCH-HASH \
#         -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#
# As with Debian's toolchain (cmake/musl.cmake), the C++ code
# is compiled without the C++ library's headers and linked by the C
# driver, so that no C++ library is linked at all: no exceptions, no
# RTTI, the program's own operator new. The toolchain's own headers, C
# library and compiler runtime are taken as they are; libblkid is
# cmake/musl-deps.sh's, built with the same toolchain. Every link records
# what it loaded (cmake/user-link.sh), and src/CMakeLists.txt checks it.

# try_compile's projects read this file again, and need the same two.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUENVALE_USER_ARCH QUENVALE_USER_DIR)
if(NOT QUENVALE_USER_ARCH OR NOT QUENVALE_USER_DIR)
  message(FATAL_ERROR "cmake/user-toolchain.cmake needs -DQUENVALE_USER_ARCH=ARCH and "
                      "-DQUENVALE_USER_DIR=DIR: tools/build.sh ARCH gives both")
endif()
get_filename_component(_user_dir "${QUENVALE_USER_DIR}" ABSOLUTE)
set(_user_tools "${_user_dir}/toolchain")
if(NOT EXISTS "${_user_tools}/settings.cmake")
  message(FATAL_ERROR "no toolchain in ${_user_dir}: run tools/build.sh ${QUENVALE_USER_ARCH} "
                      "with the toolchain's variables set")
endif()
include("${_user_tools}/settings.cmake")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QUENVALE_USER_PROCESSOR})
# Turns on what the musl build of src/ adds: the program's allocator and
# the link check.
set(QUENVALE_MUSL_ARCH ${QUENVALE_USER_ARCH})
set(QUENVALE_MUSL_SYSROOT "${_user_dir}/libblkid/sysroot")
set(QUENVALE_LINK_TRACE ON)
if(NOT "-Wl,-z,noseparate-code" IN_LIST QUENVALE_USER_LDFLAGS)
  set(QUENVALE_NO_NOSEPARATE_CODE ON)
endif()

set(CMAKE_C_COMPILER "${_user_tools}/cc")
set(CMAKE_CXX_COMPILER "${_user_tools}/c++")
set(CMAKE_AR "${_user_tools}/ar" CACHE FILEPATH "the toolchain's archiver")
set(CMAKE_RANLIB "${_user_tools}/ranlib" CACHE FILEPATH "the toolchain's index maker")

# -nostdinc++ leaves the C++ library's headers out, so that one included
# by mistake fails the compile rather than the link. -fno-pie as for
# libblkid: position-independent code only costs a static program (zig
# keeps its MIPS code position-independent all the same). What the link
# loaded goes to TARGET.trace.
string(REPLACE ";" " " _user_ldflags "${QUENVALE_USER_LDFLAGS}")
include(${CMAKE_CURRENT_LIST_DIR}/static-rules.cmake)
quenvale_static_rules("${QUENVALE_MUSL_SYSROOT}" "-fno-pie" "-fno-pie -nostdinc++"
  "${CMAKE_CURRENT_LIST_DIR}/user-link.sh ${_user_tools} <TARGET>.trace ${CMAKE_C_COMPILER} ${_user_ldflags}")
