#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <gtest/gtest.h>

#include "alloc/heap.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

bool aligned_to(const void* block, size_t alignment) {
  return reinterpret_cast<uintptr_t>(block) % alignment == 0;
}

bool all_bytes_are(const void* block, size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] != value) return false;
  return true;
}

// Every class edge, the carving limit, libblkid's 256 KiB buffer and a
// block mapped on its own.
const size_t kSizes[] = {
    0,          1,      15,        16,        17,
    31,         100,    4080,      4096,      128 * 1024 - 16,
    128 * 1024, 262204, kMiB - 16, kMiB - 15, 3 * kMiB};

TEST(Heap, LiveBlocksAreAlignedAndNeverOverlap) {
  Heap heap{};
  void* blocks[2 * std::size(kSizes)] = {};
  for (size_t round = 0; round < 2; ++round) {
    for (size_t i = 0; i < std::size(kSizes); ++i) {
      void*& block = blocks[round * std::size(kSizes) + i];
      block = heap_allocate(heap, kSizes[i]);
      ASSERT_NE(block, nullptr) << kSizes[i];
      EXPECT_TRUE(aligned_to(block, 16)) << kSizes[i];
      EXPECT_GE(heap_usable_size(block), kSizes[i]);
      memset(block, static_cast<int>(&block - blocks + 1),
             heap_usable_size(block));
    }
  }
  for (void*& block : blocks) {
    EXPECT_TRUE(all_bytes_are(block, heap_usable_size(block),
                              static_cast<unsigned char>(&block - blocks + 1)))
        << "block " << (&block - blocks) << " was written through another";
    heap_release(heap, block);
  }
}

TEST(Heap, FreedBlockIsTakenAgainAndZeroedOnRequest) {
  for (size_t size : {size_t{24}, size_t{4000}, size_t{262204}, kMiB - 16}) {
    Heap heap{};
    void* first = heap_allocate(heap, size);
    ASSERT_NE(first, nullptr);
    memset(first, 0xab, size);
    heap_release(heap, first);
    void* again = heap_allocate_zeroed(heap, 1, size);
    EXPECT_EQ(again, first) << size << ": freed memory was not reused";
    EXPECT_TRUE(all_bytes_are(again, size, 0)) << size;
    heap_release(heap, again);
  }
}

struct ResizeCase {
  size_t from;
  size_t to;
  bool stays;  // the block keeps its place
};

const ResizeCase kResizeCases[] = {
    {100, 10, true},        {100, 112, true},
    {100, 113, false},      {4000, 70000, false},
    {70000, 262204, false}, {262204, 2 * kMiB, false},
    {2 * kMiB, kMiB, true}, {2 * kMiB, 5 * kMiB, false},
    {0, 16, true},
};

TEST(Heap, ResizeKeepsTheContents) {
  for (const ResizeCase& c : kResizeCases) {
    Heap heap{};
    void* block = heap_allocate(heap, c.from);
    ASSERT_NE(block, nullptr);
    memset(block, 0x5a, c.from);
    void* resized = heap_resize(heap, block, c.to);
    ASSERT_NE(resized, nullptr);
    EXPECT_EQ(resized == block, c.stays) << c.from << " -> " << c.to;
    EXPECT_GE(heap_usable_size(resized), c.to);
    EXPECT_TRUE(all_bytes_are(resized, c.from < c.to ? c.from : c.to, 0x5a))
        << c.from << " -> " << c.to;
    memset(resized, 0x11, c.to);
    heap_release(heap, resized);
  }
}

TEST(Heap, AlignedBlocksAreAlignedUsableAndReleasable) {
  for (size_t alignment :
       {size_t{8}, size_t{16}, size_t{32}, size_t{4096}, size_t{65536}}) {
    for (size_t size : {size_t{1}, size_t{5000}, 2 * kMiB}) {
      Heap heap{};
      void* block = heap_allocate_aligned(heap, alignment, size);
      ASSERT_NE(block, nullptr) << alignment << "/" << size;
      EXPECT_TRUE(aligned_to(block, alignment)) << alignment << "/" << size;
      EXPECT_GE(heap_usable_size(block), size);
      memset(block, 0x77, heap_usable_size(block));
      void* grown = heap_resize(heap, block, 3 * size);
      ASSERT_NE(grown, nullptr);
      EXPECT_TRUE(all_bytes_are(grown, size, 0x77)) << alignment << "/" << size;
      heap_release(heap, grown);
    }
  }
}

// The largest alignment there is room for: 2 GiB on 64-bit machines (a
// 4 GiB request, of address space only), 1 GiB on 32-bit ones; twice that
// fails, 4 GiB and more on 64-bit machines included.
TEST(Heap, AlignmentLimit) {
  const size_t largest =
      sizeof(size_t) == 8 ? size_t{1} << 31 : size_t{1} << 30;
  for (const size_t alignment : {largest, 2 * largest}) {
    Heap heap{};
    errno = 0;
    void* block = heap_allocate_aligned(heap, alignment, 64);
    if (alignment == largest) {
      if (block == nullptr) {
        // Address space of that size may not be free (a 32-bit emulator).
        EXPECT_EQ(errno, ENOMEM);
        continue;
      }
      EXPECT_TRUE(aligned_to(block, alignment));
      EXPECT_GE(heap_usable_size(block), 64u);
      memset(block, 0x5a, 64);
      heap_release(heap, block);
    } else {
      EXPECT_EQ(block, nullptr);
      EXPECT_EQ(errno, ENOMEM);
    }
  }
}

TEST(Heap, PosixMemalignForm) {
  Heap heap{};
  const struct {
    size_t alignment, size;
    int result;
  } cases[] = {
      {sizeof(void*), 10, 0},          {4096, 100, 0},
      {sizeof(void*) / 2, 10, EINVAL}, {24, 10, EINVAL},
      {4096, SIZE_MAX, ENOMEM},
  };
  for (const auto& c : cases) {
    void* block = reinterpret_cast<void*>(0x1);
    errno = 1234;
    EXPECT_EQ(heap_allocate_aligned_into(heap, &block, c.alignment, c.size),
              c.result)
        << c.alignment << "/" << c.size;
    EXPECT_EQ(errno, 1234) << "errno is left alone";
    if (c.result == 0) {
      EXPECT_TRUE(aligned_to(block, c.alignment));
      heap_release(heap, block);
    } else {
      EXPECT_EQ(block, reinterpret_cast<void*>(0x1)) << "no block on failure";
    }
  }
}

TEST(Heap, ImpossibleRequestsFailWithTheCErrors) {
  Heap heap{};
  struct Case {
    void* (*request)(Heap&);
    int error;
  };
  const Case cases[] = {
      {[](Heap& h) { return heap_allocate(h, SIZE_MAX); }, ENOMEM},
      {[](Heap& h) { return heap_allocate(h, SIZE_MAX - 8); }, ENOMEM},
      {[](Heap& h) { return heap_allocate_zeroed(h, SIZE_MAX / 2 + 1, 2); },
       ENOMEM},
      {[](Heap& h) { return heap_allocate_aligned(h, 4096, SIZE_MAX - 100); },
       ENOMEM},
      {[](Heap& h) { return heap_allocate_aligned(h, 0, 16); }, EINVAL},
      {[](Heap& h) { return heap_allocate_aligned(h, 48, 16); }, EINVAL},
      // Alignments past what a block header can record, or past half the
      // address space: once a bad block, or a header written outside one.
      {[](Heap& h) { return heap_allocate_aligned(h, SIZE_MAX / 2 + 1, 16); },
       ENOMEM},
      {[](Heap& h) {
         return heap_allocate_aligned(h, SIZE_MAX / 2 + 1, SIZE_MAX / 2 + 1);
       },
       ENOMEM},
      // On a 32-bit machine a quarter of the address space is an alignment
      // the heap takes, and with a small size a request the kernel may well
      // grant: the size makes it impossible there.
      {[](Heap& h) {
         return heap_allocate_aligned(h, SIZE_MAX / 4 + 1, SIZE_MAX / 4 + 1);
       },
       ENOMEM},
      {[](Heap& h) {
         return heap_allocate_aligned(h, size_t{1} << 31, SIZE_MAX / 2);
       },
       ENOMEM},
  };
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(c.request(heap), nullptr);
    EXPECT_EQ(errno, c.error);
  }
  void* kept = heap_allocate(heap, 64);
  memset(kept, 1, 64);
  errno = 0;
  EXPECT_EQ(heap_resize(heap, kept, SIZE_MAX), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_TRUE(all_bytes_are(kept, 64, 1))
      << "a failed resize touched the block";
  heap_release(heap, kept);
}

}  // namespace
