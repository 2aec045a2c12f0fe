# The rules both static musl toolchain files (cmake/musl.cmake, Debian's
# gcc; cmake/user-toolchain.cmake, a toolchain of the user's own) give
# CMake:
#
#   quenvale_static_rules(SYSROOT COMPILE_C COMPILE_CXX LINK)
#
# COMPILE_C and COMPILE_CXX go at the front of every compile of that
# language, LINK is the whole link command up to the program's flags.
# In the rules rather than in CMAKE_<LANG>_FLAGS_INIT: flags given on the
# command line replace those, and a build that quietly compiled against
# glibc's headers would still link against musl, with the two libraries'
# structure layouts mixed. Libraries and packages come from SYSROOT, the
# musl libblkid's prefix, alone: a glibc build of anything found on the
# machine would link but not run; its blkid.pc names its directories
# relative to itself.
macro(quenvale_static_rules sysroot compile_c compile_cxx link)
  set(_static_compile_C "${compile_c}")
  set(_static_compile_CXX "${compile_cxx}")
  foreach(_lang C CXX)
    set(CMAKE_${_lang}_COMPILE_OBJECT
        "<CMAKE_${_lang}_COMPILER> ${_static_compile_${_lang}} <DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
    set(CMAKE_${_lang}_CREATE_PREPROCESSED_SOURCE
        "<CMAKE_${_lang}_COMPILER> ${_static_compile_${_lang}} <DEFINES> <INCLUDES> <FLAGS> -E <SOURCE> > <PREPROCESSED_SOURCE>")
    set(CMAKE_${_lang}_CREATE_ASSEMBLY_SOURCE
        "<CMAKE_${_lang}_COMPILER> ${_static_compile_${_lang}} <DEFINES> <INCLUDES> <FLAGS> -S <SOURCE> -o <ASSEMBLY_SOURCE>")
    # The C driver links, also C++: the C++ driver would add its library.
    set(CMAKE_${_lang}_LINK_EXECUTABLE
        "${link} <FLAGS> <CMAKE_${_lang}_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
  endforeach()

  set(CMAKE_FIND_ROOT_PATH "${sysroot}")
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  set(ENV{PKG_CONFIG_LIBDIR} "${sysroot}/lib/pkgconfig")
  unset(ENV{PKG_CONFIG_PATH})
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
endmacro()
