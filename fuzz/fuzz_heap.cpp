// The shipped init's allocator (alloc/heap.h) under random sequences of
// the malloc family, checked against a model of the live blocks: each
// block aligned as asked, at least as large as asked, overlapping no other
// live block, and holding what was written into it until it is resized
// (as far as both sizes reach) or released. Impossible requests fail with
// ENOMEM or EINVAL and leave the model untouched.
//
// One heap serves the whole run, as one serves process 1: what an input
// leaves on the free lists is what the next input gets. Every input frees
// what it allocated, so the heap stays bounded.
//
// An input is a list of operations, each one byte (the operation, and the
// slot it works on) followed by its arguments:
//   malloc SIZE, calloc COUNT-SIZE SIZE, realloc SIZE, free,
//   aligned_alloc ALIGN SIZE, posix_memalign ALIGN SIZE
// A SIZE is one selector byte and up to three bytes: small, medium, large
// or an edge value (among them the largest sizes, which must fail); an
// ALIGN is one byte: a power of two up to 2^63, or a value that is none.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "alloc/heap.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kSlots = 16;
// Bytes checked at each end of a block: enough to catch a wrong or
// overlapping block without touching every page of a large one.
constexpr size_t kCheckedBytes = 64;

Heap g_heap{};

struct Block {
  unsigned char* data = nullptr;
  size_t size = 0;
  unsigned char seed = 0;
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), left_(size) {}
  bool empty() const { return left_ == 0; }
  uint64_t take(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes && left_ > 0; ++i, --left_)
      value |= static_cast<uint64_t>(*data_++) << (8 * i);
    return value;
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

size_t take_size(Input& in) {
  const unsigned selector = static_cast<unsigned>(in.take(1)) % 8;
  static const size_t kEdges[] = {
      0,           SIZE_MAX,         SIZE_MAX - 15,      SIZE_MAX / 2,
      SIZE_MAX / 2 + 1, SIZE_MAX / 2 - 16, (size_t{1} << 20) - 16, (size_t{1} << 20) - 15,
  };
  switch (selector) {
    case 0: case 1: case 2: return static_cast<size_t>(in.take(1));
    case 3: case 4: return static_cast<size_t>(in.take(2));
    case 5: return static_cast<size_t>(in.take(3)) % (3 << 20);  // past the classes
    default: return kEdges[in.take(1) % std::size(kEdges)];
  }
}

size_t take_alignment(Input& in) {
  const unsigned value = static_cast<unsigned>(in.take(1));
  if (value < 128) return size_t{1} << (value % (8 * sizeof(size_t)));
  return (value % 3 == 0) ? 0 : value * 3;  // zero, or no power of two
}

// What the model expects of a request: sizes past half the address space
// cannot be had; up to 64 MiB (aligned or not) they must be; in between
// the machine decides, and a failure must say ENOMEM.
enum class Outcome { kSucceeds, kMayFail, kFails };
constexpr size_t kSureBytes = size_t{64} << 20;

Outcome outcome_of(size_t size, size_t alignment = 16) {
  if (size > SIZE_MAX / 2) return Outcome::kFails;
  if (size > kSureBytes || alignment > kSureBytes) return Outcome::kMayFail;
  return Outcome::kSucceeds;
}

bool power_of_two(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

// Alignments that must fail: past half the address space, or 2^32 and
// more on 64-bit machines.
bool alignment_refused(size_t alignment) {
  return alignment > SIZE_MAX / 2 || (sizeof(size_t) == 8 && alignment >= (size_t{1} << 32));
}

void fill(Block& block) {
  const size_t head = std::min(block.size, kCheckedBytes);
  for (size_t i = 0; i < head; ++i) block.data[i] = static_cast<unsigned char>(block.seed + i);
  for (size_t i = block.size - std::min(block.size, kCheckedBytes); i < block.size; ++i)
    block.data[i] = static_cast<unsigned char>(block.seed + i);
}

// The bytes fill wrote, up to limit.
void check_contents(const Block& block, size_t limit, const char* when) {
  const size_t size = std::min(block.size, limit);
  const size_t head = std::min(size, kCheckedBytes);
  for (size_t i = 0; i < head; ++i)
    if (block.data[i] != static_cast<unsigned char>(block.seed + i))
      fuzz_fail("%s: byte %zu of a %zu-byte block changed", when, i, block.size);
  // The tail of the old block, where it still lies within limit.
  for (size_t i = block.size - std::min(block.size, kCheckedBytes); i < size; ++i)
    if (block.data[i] != static_cast<unsigned char>(block.seed + i))
      fuzz_fail("%s: byte %zu of a %zu-byte block changed", when, i, block.size);
}

// The slot's own old block still counts: it is released only after its
// replacement is made.
void check_new_block(const Block (&slots)[kSlots], void* pointer, size_t size,
                     size_t alignment, const char* what) {
  const auto address = reinterpret_cast<uintptr_t>(pointer);
  if (address % std::max<size_t>(alignment, 16) != 0)
    fuzz_fail("%s(%zu) gave %p, not aligned to %zu", what, size, pointer, alignment);
  if (heap_usable_size(pointer) < size)
    fuzz_fail("%s(%zu): only %zu usable bytes", what, size, heap_usable_size(pointer));
  for (size_t i = 0; i < kSlots; ++i) {
    if (slots[i].data == nullptr) continue;
    const auto other = reinterpret_cast<uintptr_t>(slots[i].data);
    const size_t other_size = std::max<size_t>(slots[i].size, 1);
    if (address < other + other_size && other < address + std::max<size_t>(size, 1))
      fuzz_fail("%s(%zu) gave %p, inside the live block %p of %zu bytes", what, size, pointer,
                slots[i].data, slots[i].size);
  }
}

void expect_failure(void* pointer, int error, const char* what, size_t size) {
  if (pointer != nullptr) fuzz_fail("%s(%zu) should have failed", what, size);
  if (error != ENOMEM && error != EINVAL)
    fuzz_fail("%s(%zu) failed with errno %d", what, size, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  Block slots[kSlots];
  unsigned char seed = 1;
  while (!in.empty()) {
    const unsigned op = static_cast<unsigned>(in.take(1));
    Block& slot = slots[(op >> 3) % kSlots];
    void* pointer = nullptr;
    size_t wanted = 0;
    size_t alignment = 16;
    const char* what = "";
    Outcome outcome = Outcome::kSucceeds;
    errno = 0;
    switch (op % 6) {
      case 0:
        what = "malloc";
        wanted = take_size(in);
        outcome = outcome_of(wanted);
        pointer = heap_allocate(g_heap, wanted);
        break;
      case 1: {
        what = "calloc";
        // Few elements (calloc clears every byte), or so many that the
        // product overflows.
        const size_t count = static_cast<size_t>(in.take(1) % 8) + (in.take(1) % 2 ? SIZE_MAX / 4 : 0);
        const size_t each = take_size(in);
        outcome = __builtin_mul_overflow(count, each, &wanted) ? Outcome::kFails
                                                                : outcome_of(wanted);
        pointer = heap_allocate_zeroed(g_heap, count, each);
        if (pointer != nullptr) {
          const auto* bytes = static_cast<const unsigned char*>(pointer);
          for (size_t i = 0; i < std::min(wanted, kCheckedBytes); ++i)
            if (bytes[i] != 0) fuzz_fail("calloc: byte %zu not zero", i);
          for (size_t i = wanted - std::min(wanted, kCheckedBytes); i < wanted; ++i)
            if (bytes[i] != 0) fuzz_fail("calloc: byte %zu not zero", i);
        }
        break;
      }
      case 2: {
        what = "realloc";
        wanted = take_size(in);
        outcome = outcome_of(wanted);
        pointer = heap_resize(g_heap, slot.data, wanted);
        if (pointer == nullptr) {
          // A failed resize leaves the old block as it was.
          if (slot.data != nullptr) check_contents(slot, slot.size, "failed realloc");
          if (outcome == Outcome::kSucceeds) fuzz_fail("realloc(%zu) failed", wanted);
          expect_failure(pointer, errno, what, wanted);
          continue;
        }
        if (outcome == Outcome::kFails) fuzz_fail("realloc(%zu) gave %p", wanted, pointer);
        Block moved = slot;
        moved.data = static_cast<unsigned char*>(pointer);
        if (slot.data != nullptr) check_contents(moved, wanted, "realloc");
        slot.data = nullptr;
        check_new_block(slots, pointer, wanted, 16, what);
        slot = Block{moved.data, wanted, seed++};
        fill(slot);
        continue;
      }
      case 3:
        if (slot.data != nullptr) check_contents(slot, slot.size, "free");
        heap_release(g_heap, slot.data);
        slot = Block{};
        continue;
      case 4:
        what = "aligned_alloc";
        alignment = take_alignment(in);
        wanted = take_size(in);
        outcome = !power_of_two(alignment) || alignment_refused(alignment)
                      ? Outcome::kFails
                      : outcome_of(wanted, alignment);
        pointer = heap_allocate_aligned(g_heap, alignment, wanted);
        break;
      default: {
        what = "posix_memalign";
        alignment = take_alignment(in);
        wanted = take_size(in);
        outcome = !power_of_two(alignment) || alignment < sizeof(void*) ||
                          alignment_refused(alignment)
                      ? Outcome::kFails
                      : outcome_of(wanted, alignment);
        const int result = heap_allocate_aligned_into(g_heap, &pointer, alignment, wanted);
        if ((result == 0) != (pointer != nullptr))
          fuzz_fail("posix_memalign gave %d and %p", result, pointer);
        errno = result;
        break;
      }
    }
    if (pointer == nullptr) {
      if (outcome == Outcome::kSucceeds)
        fuzz_fail("%s(%zu, alignment %zu) failed", what, wanted, alignment);
      expect_failure(pointer, errno, what, wanted);
      continue;
    }
    if (outcome == Outcome::kFails) fuzz_fail("%s(%zu, alignment %zu) gave %p", what, wanted, alignment, pointer);
    check_new_block(slots, pointer, wanted, alignment, what);
    // The slot's old block, if any, goes first: its place may be reused.
    if (slot.data != nullptr) {
      check_contents(slot, slot.size, "replaced");
      heap_release(g_heap, slot.data);
    }
    slot = Block{static_cast<unsigned char*>(pointer), wanted, seed++};
    fill(slot);
  }
  for (Block& block : slots) {
    if (block.data == nullptr) continue;
    check_contents(block, block.size, "end");
    heap_release(g_heap, block.data);
  }
  return 0;
}
