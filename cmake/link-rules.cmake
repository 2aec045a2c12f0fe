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
