// The C library's allocation functions, for the static musl build only:
// musl takes the program's own definitions of the whole set in place of
// its allocator, and libblkid, stdio and the program then all allocate
// from one heap. Every one of them is here, so that no part of musl's
// allocator can be linked to receive a block of this one. None calls
// another: the compiler would make malloc-then-memset a call to calloc.
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>

#include "alloc/heap.h"

namespace {

constinit Heap process_heap{};

}  // namespace

extern "C" {

void* malloc(size_t size) { return heap_allocate(process_heap, size); }

void* calloc(size_t count, size_t size) {
  return heap_allocate_zeroed(process_heap, count, size);
}

void* realloc(void* block, size_t size) {
  return heap_resize(process_heap, block, size);
}

void free(void* block) { heap_release(process_heap, block); }

void* aligned_alloc(size_t alignment, size_t size) {
  return heap_allocate_aligned(process_heap, alignment, size);
}

void* memalign(size_t alignment, size_t size) {
  return heap_allocate_aligned(process_heap, alignment, size);
}

int posix_memalign(void** block, size_t alignment, size_t size) {
  return heap_allocate_aligned_into(process_heap, block, alignment, size);
}

size_t malloc_usable_size(void* block) { return heap_usable_size(block); }

}  // extern "C"
