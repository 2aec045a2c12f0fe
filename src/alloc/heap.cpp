#include "alloc/heap.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

namespace {

// Before every block, and again before an aligned one that had to move
// within its block: how far back the block starts, and what it is.
struct BlockHeader {
  uint32_t size_class;
  uint32_t offset;
  uint64_t mapped_bytes;  // Blocks mapped on their own only.
};
static_assert(sizeof(BlockHeader) == 16);

constexpr size_t kHeaderBytes = sizeof(BlockHeader);
constexpr size_t kSmallestClassBytes = 32;
constexpr size_t kLargestClassBytes = kSmallestClassBytes << (kHeapClasses - 1);
constexpr uint32_t kMappedAlone = 0xffffffffu;
// Small classes are carved out of mappings this large; a class this large
// or larger gets a mapping of its own, so no carving space is dropped.
constexpr size_t kCarveBytes = 128 * 1024;
constexpr size_t kPageBytes = 4096;
// Beyond this no size is rounded up without overflowing.
constexpr size_t kLargestRequest = SIZE_MAX / 2;
// An aligned block lies less than its alignment into its block, an offset
// its header keeps in 32 bits; and the block, alignment included, must be
// a request that can be made. 2 GiB on 64-bit machines, 1 GiB on 32-bit.
constexpr size_t kLargestAlignment =
    (size_t{1} << 31) < (kLargestRequest + 1) / 2 ? (size_t{1} << 31)
                                                  : (kLargestRequest + 1) / 2;

BlockHeader* header_of(const void* block) {
  return reinterpret_cast<BlockHeader*>(
      const_cast<char*>(static_cast<const char*>(block)) - kHeaderBytes);
}

char* start_of(const void* block) {
  return const_cast<char*>(static_cast<const char*>(block)) -
         header_of(block)->offset;
}

size_t class_bytes(uint32_t size_class) {
  return kSmallestClassBytes << size_class;
}

uint32_t class_for(size_t bytes) {
  uint32_t size_class = 0;
  while (class_bytes(size_class) < bytes) ++size_class;
  return size_class;
}

void* out_of_memory() {
  errno = ENOMEM;
  return nullptr;
}

char* map_bytes(size_t bytes) {
  void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return mapping == MAP_FAILED ? nullptr : static_cast<char*>(mapping);
}

void* start_block(char* start, uint32_t size_class, uint64_t mapped_bytes) {
  auto* header = reinterpret_cast<BlockHeader*>(start);
  header->size_class = size_class;
  header->offset = kHeaderBytes;
  header->mapped_bytes = mapped_bytes;
  return start + kHeaderBytes;
}

void* allocate_alone(size_t bytes) {
  const size_t mapped = (bytes + kPageBytes - 1) & ~(kPageBytes - 1);
  char* start = map_bytes(mapped);
  if (start == nullptr) return out_of_memory();
  return start_block(start, kMappedAlone, mapped);
}

char* carve(Heap& heap, size_t bytes) {
  if (bytes >= kCarveBytes) return map_bytes(bytes);
  if (static_cast<size_t>(heap.carve_end - heap.carve_next) < bytes) {
    // What is left of the old mapping is too small for this class, and
    // stays unused: at most one block's worth per mapping.
    char* mapping = map_bytes(kCarveBytes);
    if (mapping == nullptr) return nullptr;
    heap.carve_next = mapping;
    heap.carve_end = mapping + kCarveBytes;
  }
  char* start = heap.carve_next;
  heap.carve_next += bytes;
  return start;
}

}  // namespace

void* heap_allocate(Heap& heap, size_t size) {
  if (size > kLargestRequest) return out_of_memory();
  const size_t bytes = size + kHeaderBytes;
  if (bytes > kLargestClassBytes) return allocate_alone(bytes);

  const uint32_t size_class = class_for(bytes);
  char* start = static_cast<char*>(heap.free_lists[size_class]);
  if (start != nullptr) {
    heap.free_lists[size_class] = *reinterpret_cast<void**>(start);
  } else {
    start = carve(heap, class_bytes(size_class));
    if (start == nullptr) return out_of_memory();
  }
  return start_block(start, size_class, 0);
}

void* heap_allocate_zeroed(Heap& heap, size_t count, size_t size) {
  size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) return out_of_memory();
  void* block = heap_allocate(heap, bytes);
  // A block off a free list holds what its last owner left.
  if (block != nullptr) memset(block, 0, bytes);
  return block;
}

void* heap_allocate_aligned(Heap& heap, size_t alignment, size_t size) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (alignment <= kHeaderBytes) return heap_allocate(heap, size);
  if (alignment > kLargestAlignment || size > kLargestRequest - alignment)
    return out_of_memory();

  char* block = static_cast<char*>(heap_allocate(heap, size + alignment));
  if (block == nullptr) return nullptr;
  const auto address = reinterpret_cast<uintptr_t>(block);
  const uintptr_t aligned = (address + alignment - 1) & ~(alignment - 1);
  if (aligned == address) return block;
  // At least 16 bytes on: room for a header that leads back to the block.
  char* moved = block + (aligned - address);
  BlockHeader* header = header_of(moved);
  header->size_class = header_of(block)->size_class;
  header->offset = static_cast<uint32_t>(moved - start_of(block));
  header->mapped_bytes = 0;
  return moved;
}

int heap_allocate_aligned_into(Heap& heap, void** block, size_t alignment,
                               size_t size) {
  if (alignment < sizeof(void*)) return EINVAL;
  const int saved = errno;
  void* allocated = heap_allocate_aligned(heap, alignment, size);
  const int error = errno;
  errno = saved;
  if (allocated == nullptr) return error;
  *block = allocated;
  return 0;
}

size_t heap_usable_size(const void* block) {
  if (block == nullptr) return 0;
  const BlockHeader* header = header_of(block);
  const auto* start = reinterpret_cast<const BlockHeader*>(start_of(block));
  const size_t bytes = header->size_class == kMappedAlone
                           ? static_cast<size_t>(start->mapped_bytes)
                           : class_bytes(header->size_class);
  return bytes - header->offset;
}

void* heap_resize(Heap& heap, void* block, size_t size) {
  if (block == nullptr) return heap_allocate(heap, size);
  const size_t usable = heap_usable_size(block);
  if (size <= usable) return block;
  void* moved = heap_allocate(heap, size);
  if (moved == nullptr) return nullptr;
  memcpy(moved, block, usable);
  heap_release(heap, block);
  return moved;
}

void heap_release(Heap& heap, void* block) {
  if (block == nullptr) return;
  const uint32_t size_class = header_of(block)->size_class;
  char* start = start_of(block);
  if (size_class == kMappedAlone) {
    munmap(start, static_cast<size_t>(
                      reinterpret_cast<BlockHeader*>(start)->mapped_bytes));
    return;
  }
  *reinterpret_cast<void**>(start) = heap.free_lists[size_class];
  heap.free_lists[size_class] = start;
}
