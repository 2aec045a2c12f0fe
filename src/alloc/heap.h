// The shipped init's allocator: free lists by power-of-two size class, on
// memory that is never handed back before the exec of the next stage.
//
// musl's own allocator returns every freed block of 128 KiB or more, and
// every emptied group of small ones, to the kernel at once. libblkid
// allocates a buffer for each area it reads (256 KiB and more for several
// formats) and frees them all with the probe, so each probe of a device
// mapped, faulted in, zeroed and unmapped the same memory again, which
// cost the probe ten times its reads. Here a freed block waits on its
// class's list for the next one.
//
// One thread only: process 1 runs no others, a forked child execs, and the
// e2fsck built with this allocator is built without threads.
#pragma once

#include <stddef.h>

// Classes of 32 B to 1 MiB; larger blocks are mapped one by one.
constexpr int kHeapClasses = 16;

struct Heap {
  void* free_lists[kHeapClasses];
  char* carve_next;
  char* carve_end;
};

// Each returns nullptr with errno ENOMEM where the memory cannot be had,
// as malloc does. Every block is aligned to 16 bytes.
void* heap_allocate(Heap& heap, size_t size);
void* heap_allocate_zeroed(Heap& heap, size_t count, size_t size);
// Alignment: a power of two (else EINVAL), at most 2 GiB (1 GiB on 32-bit
// machines; else ENOMEM); up to 16 bytes costs nothing extra.
void* heap_allocate_aligned(Heap& heap, size_t alignment, size_t size);
// posix_memalign's form: 0 and the block in *block, or the error number
// (EINVAL also for an alignment below a pointer's size), errno untouched.
int heap_allocate_aligned_into(Heap& heap, void** block, size_t alignment,
                               size_t size);
// Grows or shrinks as realloc does: the block stays where it is while it
// fits its class; a failed move leaves the old block untouched.
void* heap_resize(Heap& heap, void* block, size_t size);
void heap_release(Heap& heap, void* block);
size_t heap_usable_size(const void* block);
