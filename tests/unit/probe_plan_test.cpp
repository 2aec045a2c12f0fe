#include <stdint.h>

#include "devnodes/probe_prefetch.h"
#include "test_support.h"

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kNoLimit = UINT64_MAX;

struct PlanCase {
  uint64_t size;
  bool whole_disk;
  uint64_t piece;  // the device's largest request
};

// Sizes at and off the places the plan changes (a floppy's, 10 MiB,
// 64 MiB, alignments of 4, 64 and 256 KiB), with the requests of a USB
// stick (120 KiB), a small controller (clamped to 64 KiB), virtio and none
// known. Whether the probe finds its pages read is the system test's
// (tests/system/probe_reads_test.sh); these are the plan's own promises.
// clang-format off
const PlanCase kPlanCases[] = {
    {512, true, kNoLimit},                   {4096, false, 120 * kKiB},
    {1474560, true, kNoLimit},               {1474560 + 512, true, 120 * kKiB},
    {8 * kMiB, true, 4 * kKiB},              {10 * kMiB - 512, false, kNoLimit},
    {10 * kMiB, true, 120 * kKiB},           {32 * kMiB + 3584, true, 1280 * kKiB},
    {32 * kMiB, false, 120 * kKiB},          {64 * kMiB - 512, true, 120 * kKiB},
    {64 * kMiB + 36 * kKiB, true, 120 * kKiB}, {64 * kMiB, false, 4 * kKiB},
    {kMiB * 1024 + 4608, true, kNoLimit},    {(1ULL << 41) + 512, true, 120 * kKiB},
};
// clang-format on

TEST(ProbePlan, ReadsAreSortedSeparateInsideTheDeviceAndWithinOneRequest) {
  for (const PlanCase& c : kPlanCases) {
    SCOPED_TRACE(testing::Message()
                 << c.size << (c.whole_disk ? " disk" : " part") << " piece "
                 << c.piece);
    ProbeRead reads[kMaxProbeReads];
    const size_t count = plan_probe_reads(c.size, c.whole_disk, c.piece, reads);
    ASSERT_GT(count, 0u);
    ASSERT_LE(count, kMaxProbeReads);
    const uint64_t largest = c.piece < 64 * kKiB ? 64 * kKiB : c.piece;
    for (size_t i = 0; i < count; ++i) {
      EXPECT_GT(reads[i].length, 0u);
      EXPECT_LE(reads[i].length, largest);
      EXPECT_LE(reads[i].offset + reads[i].length, c.size);
      EXPECT_EQ(reads[i].offset % 4096, 0u);
      if (i > 0) {
        EXPECT_LE(reads[i - 1].offset + reads[i - 1].length, reads[i].offset);
      }
    }
    // The last sector, which every probe of the end reads, is always read.
    EXPECT_EQ(reads[count - 1].offset + reads[count - 1].length, c.size);
  }
}

// What the plan is for: few bytes and few requests. A whole disk of 32 MiB
// is read in its first 260 KiB, four LUKS2 pages, and a few pages at the
// end, not in windows of hundreds of KiB.
TEST(ProbePlan, ReadsLittleMoreThanTheProbeLooksAt) {
  struct Budget {
    uint64_t size;
    bool whole_disk;
    uint64_t most_bytes;
    size_t most_reads;
  };
  const Budget budgets[] = {
      {32 * kMiB, true, 352 * kKiB, 16},
      {24 * kMiB, false, 300 * kKiB, 8},
      {8 * kMiB, true, 140 * kKiB, 19},
      {1024 * kMiB, true, 1100 * kKiB, 8},
  };
  for (const Budget& b : budgets) {
    SCOPED_TRACE(testing::Message()
                 << b.size << (b.whole_disk ? " disk" : " part"));
    ProbeRead reads[kMaxProbeReads];
    const size_t count =
        plan_probe_reads(b.size, b.whole_disk, kNoLimit, reads);
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; ++i) bytes += reads[i].length;
    EXPECT_LE(bytes, b.most_bytes);
    EXPECT_LE(count, b.most_reads);
  }
}

// On a device that takes 120 KiB a request, the first 260 KiB go as the
// odd 20 KiB (with the partition table the kernel has just read) and then
// two whole requests, not as two whole requests and a third of 20 KiB.
TEST(ProbePlan, TheHeadsRemainderGoesFirst) {
  ProbeRead reads[kMaxProbeReads];
  ASSERT_GE(plan_probe_reads(32 * kMiB, true, 120 * kKiB, reads), 3u);
  EXPECT_EQ(reads[0].offset, 0u);
  EXPECT_EQ(reads[0].length, 20 * kKiB);
  EXPECT_EQ(reads[1].offset, 20 * kKiB);
  EXPECT_EQ(reads[1].length, 120 * kKiB);
  EXPECT_EQ(reads[2].offset, 140 * kKiB);
  EXPECT_EQ(reads[2].length, 120 * kKiB);
}

TEST(ProbePlan, AnEmptyDeviceIsNotRead) {
  ProbeRead reads[kMaxProbeReads];
  EXPECT_EQ(plan_probe_reads(0, true, kNoLimit, reads), 0u);
}

}  // namespace
