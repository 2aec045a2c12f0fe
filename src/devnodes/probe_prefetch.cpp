#include "devnodes/probe_prefetch.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

// Where libblkid 2.38 reads while it looks for a superblock that is not
// there (the most it reads: a device that matches a format stops earlier),
// measured with its reads traced on blank disks and partitions of many
// sizes; tests/system/probe_reads_test.sh fails when that stops being
// true. Each area is a byte range; the pages that hold it are read.
struct Area {
  uint64_t offset;
  uint64_t length;
};

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;

// From the start of every device: the first sectors' signatures, the
// 1 KiB blocks before 8, 16 and 32 KiB, the superblocks around 64 KiB,
// single sectors at 128 and 256 KiB, and LUKS2's secondary headers (VMFS
// reads two of the same places).
constexpr Area kHeadAreas[] = {
    {0, 5 * kKiB},         {7 * kKiB, kKiB},  {15 * kKiB, 4 * kKiB},
    {31 * kKiB, 2 * kKiB}, {63 * kKiB, 2401}, {128 * kKiB, 512},
    {256 * kKiB, 1377},    {512 * kKiB, 512}, {1 * kMiB, kKiB},
    {2 * kMiB, kKiB},      {4 * kMiB, 512},
};
// From 10 MiB on, an external XFS log's 256 KiB at the start.
constexpr uint64_t kXfsLogSmallestBytes = 10 * kMiB;
constexpr Area kXfsLogArea = {0, 256 * kKiB};

// Back from the end of every device, a distance and a length: the last
// sector and the 4 KiB block before it.
constexpr Area kEndAreas[] = {{512, 512}, {4 * kKiB, 1392}};
// RAID metadata, looked for on devices larger than a floppy: DDF's
// secondary anchor, and Linux RAID's superblocks, version 1.0 at 8 KiB
// back on a 4 KiB boundary and 0.90 in the last whole 64 KiB but one.
constexpr uint64_t kTinyBytes = 1474560;
constexpr Area kDdfArea = {131584, 512};
constexpr uint64_t kMd10Back = 8 * kKiB;
constexpr uint64_t kMd10Align = 4 * kKiB;
constexpr uint64_t kMd10Length = 256;
constexpr uint64_t kMd090Align = 64 * kKiB;
constexpr uint64_t kMd090Length = 64;
// Firmware RAID, looked for on libblkid's idea of a whole disk only:
// Intel's and HighPoint's sectors, then Promise's thirteen places, given
// in sectors back.
constexpr Area kDiskEndAreas[] = {{1024, 48}, {5632, 4}};
constexpr uint64_t kPromiseSectorsBack[] = {16,  63,  255, 256, 399, 591, 675,
                                            735, 911, 951, 974, 991, 3087};
constexpr uint64_t kPromiseLength = 24;

// From 64 MiB on, any device may be a ZFS member: its four 256 KiB labels
// are read whole, two at the head and two before the last 256 KiB
// boundary.
constexpr uint64_t kZfsSmallestBytes = 64 * kMiB;
constexpr uint64_t kZfsLabelBytes = 256 * kKiB;

constexpr uint64_t kPageBytes = 4 * kKiB;
// Two areas at most this far apart are read as one: reading the gap costs
// about what a request of its own would on the media this boots from (at
// their published rates, 0.4, 0.13 and 0.016 ms a page against 0.67, 1 and
// 0.09 ms a request on an SD card, a USB 2.0 stick and eMMC; summed over
// the three, a request costs about three pages).
constexpr uint64_t kMergeGapBytes = 3 * kPageBytes;
// A device that claims to take less per request is still asked in pieces
// of this size (the kernel splits them as it must), so that the plan's
// length stays within kMaxProbeReads.
constexpr uint64_t kSmallestPiece = 64 * kKiB;

// The areas of one device, as page-aligned byte ranges, unsorted.
class Ranges {
 public:
  explicit Ranges(uint64_t size) : size_(size) {}

  void add(uint64_t offset, uint64_t length) {
    if (offset >= size_ || count_ == kMaxProbeReads) return;
    uint64_t end = offset + length;
    end = (end + kPageBytes - 1) & ~(kPageBytes - 1);
    ranges_[count_++] = {offset & ~(kPageBytes - 1), end < size_ ? end : size_};
  }
  void add_back(uint64_t back, uint64_t length) {
    if (back <= size_) add(size_ - back, length);
  }

  // Sorted by start, overlapping or near ranges merged; returns the count.
  size_t merge() {
    for (size_t i = 1; i < count_; ++i) {
      const Range range = ranges_[i];
      size_t j = i;
      for (; j > 0 && ranges_[j - 1].start > range.start; --j)
        ranges_[j] = ranges_[j - 1];
      ranges_[j] = range;
    }
    size_t merged = 0;
    for (size_t i = 0; i < count_; ++i) {
      if (merged > 0 &&
          ranges_[i].start <= ranges_[merged - 1].end + kMergeGapBytes) {
        if (ranges_[i].end > ranges_[merged - 1].end)
          ranges_[merged - 1].end = ranges_[i].end;
      } else {
        ranges_[merged++] = ranges_[i];
      }
    }
    count_ = merged;
    return count_;
  }

  struct Range {
    uint64_t start;
    uint64_t end;
  };
  const Range& operator[](size_t i) const { return ranges_[i]; }

 private:
  uint64_t size_;
  Range ranges_[kMaxProbeReads] = {};
  size_t count_ = 0;
};

void add_areas(uint64_t size, bool whole_disk, Ranges* ranges) {
  for (const Area& area : kHeadAreas) ranges->add(area.offset, area.length);
  if (size >= kXfsLogSmallestBytes)
    ranges->add(kXfsLogArea.offset, kXfsLogArea.length);
  for (const Area& area : kEndAreas) ranges->add_back(area.offset, area.length);
  if (size <= kTinyBytes) return;
  ranges->add_back(kDdfArea.offset, kDdfArea.length);
  ranges->add((size - kMd10Back) & ~(kMd10Align - 1), kMd10Length);
  ranges->add((size & ~(kMd090Align - 1)) - kMd090Align, kMd090Length);
  if (whole_disk) {
    for (const Area& area : kDiskEndAreas)
      ranges->add_back(area.offset, area.length);
    for (uint64_t sectors : kPromiseSectorsBack)
      ranges->add_back(sectors * 512, kPromiseLength);
  }
  if (size >= kZfsSmallestBytes) {
    ranges->add(0, 2 * kZfsLabelBytes);
    const uint64_t labels_end = size & ~(kZfsLabelBytes - 1);
    ranges->add(labels_end - 2 * kZfsLabelBytes, 2 * kZfsLabelBytes);
  }
}

}  // namespace

size_t plan_probe_reads(uint64_t size, bool whole_disk, uint64_t piece,
                        ProbeRead* reads) {
  if (size == 0) return 0;
  if (piece < kSmallestPiece) piece = kSmallestPiece;
  Ranges ranges(size);
  add_areas(size, whole_disk, &ranges);
  const size_t count = ranges.merge();

  // A run longer than one request goes in pieces of a request each. The
  // odd remainder of the run at the start goes first, with the partition
  // table the kernel has most likely just read, so that it costs no
  // request of its own; elsewhere it goes last.
  size_t written = 0;
  for (size_t i = 0; i < count && written < kMaxProbeReads; ++i) {
    uint64_t offset = ranges[i].start;
    const uint64_t end = ranges[i].end;
    const uint64_t remainder = (end - offset) % piece;
    if (offset == 0 && remainder != 0 && end - offset > piece) {
      reads[written++] = {0, remainder};
      offset = remainder;
    }
    while (offset < end && written < kMaxProbeReads) {
      const uint64_t length = end - offset < piece ? end - offset : piece;
      reads[written++] = {offset, length};
      offset += length;
    }
  }
  return written;
}

void prefetch_probe_areas(int fd, bool whole_disk) {
  uint64_t size = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) != 0) return;
  // Without the device's own limit, each run is asked for whole.
  unsigned short max_sectors = 0;
  uint64_t piece = UINT64_MAX;
  if (ioctl(fd, BLKSECTGET, &max_sectors) == 0 && max_sectors > 0)
    piece = static_cast<uint64_t>(max_sectors) * 512;
  ProbeRead reads[kMaxProbeReads];
  const size_t count = plan_probe_reads(size, whole_disk, piece, reads);
  for (size_t i = 0; i < count; ++i)
    posix_fadvise(fd, static_cast<off_t>(reads[i].offset),
                  static_cast<off_t>(reads[i].length), POSIX_FADV_WILLNEED);
}
