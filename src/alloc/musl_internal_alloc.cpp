// For programs that reach musl's own allocations (atexit's handler
// blocks, locales, posix_spawn's file actions, the time zone): musl makes
// them through these internal names, which would otherwise link its whole
// allocator beside the program's (c_allocator.cpp) and hand its blocks to
// the wrong free. The static e2fsck of the image links this; the init
// reaches none of them, and its link check says so.
#include <stdlib.h>

extern "C" {

void* __libc_malloc(size_t size) { return malloc(size); }

void* __libc_calloc(size_t count, size_t size) { return calloc(count, size); }

void __libc_free(void* block) { free(block); }

}  // extern "C"
