# Run after the musl link of the init (cmake -P): fails the build unless
# every file the linker loaded is the program's own, musl's, the musl
# libblkid's or gcc's libgcc and start files. A C++ support library
# (libstdc++, libsupc++) or any piece of glibc pulled in by a stray flag
# would otherwise go unnoticed until a board failed to boot.
#
#   -DMAP=link map  -DALLOWED="dir;dir;..."
#
# With a user's toolchain (cmake/user-toolchain.cmake), whose linker may
# be lld, whose map says the same in another form, the list of what the
# linker loaded instead, as cmake/user-link.sh records it: one absolute
# path a line, an archive member as ARCHIVE(MEMBER).
#
#   -DTRACE=file  -DALLOWED="dir;dir;..."  [-DPROGRAM=name] [-DNO_THREADS=ON]
if(DEFINED TRACE)
  include(${CMAKE_CURRENT_LIST_DIR}/check-link-trace.cmake)
  return()
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
    message(FATAL_ERROR "the musl init links ${path}, which is not musl's, "
                        "libblkid's, libgcc's or its own")
  endif()
endforeach()

# The program brings its own allocator: a piece of musl's linked beside it
# would take back blocks the other handed out.
file(STRINGS "${MAP}" allocator REGEX
     "libc\\.a\\((lite_malloc|malloc|free|calloc|libc_calloc|realloc|donate|aligned_alloc|posix_memalign|memalign|malloc_usable_size)\\.lo\\)")
if(allocator)
  list(GET allocator 0 first)
  string(STRIP "${first}" first)
  message(FATAL_ERROR "the musl init links musl's allocator beside its own: ${first}")
endif()
