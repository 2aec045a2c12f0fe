# Run after the musl link of the init (cmake -P): fails the build unless
# every file the linker loaded is the program's own, musl's, the musl
# libblkid's or gcc's libgcc and start files. A C++ support library
# (libstdc++, libsupc++) or any piece of glibc pulled in by a stray flag
# would otherwise go unnoticed until a board failed to boot.
#
#   -DMAP=link map  -DALLOWED="dir;dir;..."  [-DPROGRAM=name] [-DNO_THREADS=ON]
#
# With a user's toolchain (cmake/user-toolchain.cmake), whose linker may
# be lld, whose map says the same in another form, the list of what the
# linker loaded instead, as cmake/user-link.sh records it: one absolute
# path a line, an archive member as ARCHIVE(MEMBER).
#
#   -DTRACE=file  -DALLOWED="dir;dir;..."  [-DPROGRAM=name] [-DNO_THREADS=ON]
#
# What is refused in either form is cmake/link-rules.cmake.
if(DEFINED TRACE)
  include(${CMAKE_CURRENT_LIST_DIR}/check-link-trace.cmake)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/link-rules.cmake)
if(NOT PROGRAM)
  set(PROGRAM "the musl init")
endif()
file(STRINGS "${MAP}" lines REGEX "^LOAD ")
if(NOT lines)
  message(FATAL_ERROR "${MAP}: no LOAD lines; not a GNU ld link map")
endif()
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^LOAD " "" path "${line}")
  get_filename_component(path "${path}" REALPATH)
  set(known FALSE)
  foreach(dir IN LISTS ALLOWED)
    get_filename_component(dir "${dir}" REALPATH)
    string(FIND "${path}" "${dir}/" at)
    if(at EQUAL 0)
      set(known TRUE)
    endif()
  endforeach()
  if(path MATCHES "libstdc\\+\\+|libsupc\\+\\+" OR NOT known)
    message(FATAL_ERROR "${PROGRAM} links ${path}, which is not musl's, "
                        "libblkid's, libgcc's or its own")
  endif()
endforeach()

# The map names each archive member it loaded as "ARCHIVE(MEMBER)".
file(STRINGS "${MAP}" members REGEX "libc\\.a\\([^)]+\\)")
foreach(line IN LISTS members)
  string(REGEX MATCH "libc\\.a\\(([^)]+)\\)" _ "${line}")
  string(REGEX REPLACE ".*/" "" object "${CMAKE_MATCH_1}")
  string(STRIP "${line}" line)
  quenvale_check_libc_member("${PROGRAM}" "${object}" "${line}" "${NO_THREADS}")
endforeach()
