# What a static musl program of this project may not link, whichever way
# the link is checked (cmake/check-musl-link.cmake from GNU ld's map,
# cmake/check-link-trace.cmake from any linker's trace), for the init and
# for e2fsck alike.
#
# The programs bring their own allocator: a piece of musl's linked beside
# it would take back blocks the other handed out. These are the objects of
# musl's libc.a that make up its allocators, old (oldmalloc, lite_malloc)
# and new (mallocng).
set(QUENVALE_MUSL_ALLOCATOR_OBJECTS
    lite_malloc malloc free calloc libc_calloc realloc donate replaced
    aligned_alloc posix_memalign memalign malloc_usable_size)
# What starts a thread, refused with NO_THREADS: the allocator serves one.
set(QUENVALE_MUSL_THREAD_OBJECTS pthread_create)

# quenvale_libc_object_regex(VAR NAMES...): a regular expression matching
# libc.a's member for any of NAMES (name.o or name.lo).
function(quenvale_libc_object_regex var)
  list(JOIN ARGN "|" names)
  set(${var} "^(${names})\\.l?o$" PARENT_SCOPE)
endfunction()
quenvale_libc_object_regex(QUENVALE_MUSL_ALLOCATOR_REGEX ${QUENVALE_MUSL_ALLOCATOR_OBJECTS})
quenvale_libc_object_regex(QUENVALE_MUSL_THREAD_REGEX ${QUENVALE_MUSL_THREAD_OBJECTS})

# quenvale_check_libc_member(PROGRAM OBJECT WHERE NO_THREADS): fails for a
# member OBJECT of musl's libc.a (its name, as name.o or name.lo) that
# PROGRAM may not link; WHERE says where the link check saw it.
function(quenvale_check_libc_member program object where no_threads)
  if(object MATCHES "${QUENVALE_MUSL_ALLOCATOR_REGEX}")
    message(FATAL_ERROR "${program} links musl's allocator beside its own: ${where}")
  endif()
  if(no_threads AND object MATCHES "${QUENVALE_MUSL_THREAD_REGEX}")
    message(FATAL_ERROR "${program} starts threads: ${where}")
  endif()
endfunction()
