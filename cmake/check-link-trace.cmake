# The link check of cmake/check-musl-link.cmake for a link that
# cmake/user-link.sh traced: every file loaded must lie in one of ALLOWED
# (the build tree, the musl libblkid) or where the same link of a small
# program found the toolchain's C library and runtime, none may be a C++
# library, and no member of the C library's archive may be a piece of
# musl's allocator (nor, with NO_THREADS, start a thread).
include(${CMAKE_CURRENT_LIST_DIR}/link-rules.cmake)
if(NOT PROGRAM)
  set(PROGRAM "the program")
endif()
file(STRINGS "${TRACE}" lines)
if(NOT lines)
  message(FATAL_ERROR "${TRACE}: empty; the link recorded nothing it loaded")
endif()
# Where the same link of a small program found the toolchain's C library
# and runtime (cmake/user-link.sh).
if(NOT EXISTS "${TRACE}.runtime")
  message(FATAL_ERROR "${TRACE}.runtime: missing; cmake/user-link.sh writes it beside the trace")
endif()
file(STRINGS "${TRACE}.runtime" runtime)
set(allowed_real)
foreach(dir IN LISTS ALLOWED runtime)
  get_filename_component(dir "${dir}" REALPATH)
  list(APPEND allowed_real "${dir}")
endforeach()
set(libc_seen FALSE)
foreach(line IN LISTS lines)
  set(member "")
  set(path "${line}")
  if(line MATCHES "^([^(]+)\\((.+)\\)$")
    set(path "${CMAKE_MATCH_1}")
    set(member "${CMAKE_MATCH_2}")
  endif()
  get_filename_component(path "${path}" REALPATH)
  get_filename_component(name "${path}" NAME)
  set(known FALSE)
  foreach(dir IN LISTS allowed_real)
    string(FIND "${path}" "${dir}/" at)
    if(at EQUAL 0)
      set(known TRUE)
    endif()
  endforeach()
  if(name MATCHES "^lib(stdc\\+\\+|supc\\+\\+|c\\+\\+|c\\+\\+abi)[.-]")
    message(FATAL_ERROR "${PROGRAM} links a C++ library: ${line}")
  endif()
  if(name MATCHES "\\.so($|\\.)")
    message(FATAL_ERROR "${PROGRAM} links a shared library, which no RAM disk holds: ${line}")
  endif()
  if(NOT known)
    message(FATAL_ERROR "${PROGRAM} links ${path}, which is not its own, libblkid's, "
                        "or the toolchain's C library or runtime")
  endif()
  if(name STREQUAL "libc.a")
    set(libc_seen TRUE)
    # The member's own name, whatever directory the archive was made from
    # (zig's holds whole paths).
    string(REGEX REPLACE ".*/" "" object "${member}")
    # The program brings its own allocator, and may be bound to one
    # thread (cmake/link-rules.cmake).
    quenvale_check_libc_member("${PROGRAM}" "${object}" "${line}" "${NO_THREADS}")
  endif()
endforeach()
if(NOT libc_seen)
  message(FATAL_ERROR "${TRACE}: no libc.a among what the link loaded; not a static musl link")
endif()
