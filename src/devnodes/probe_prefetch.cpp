#include "devnodes/probe_prefetch.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdint.h>
#include <sys/ioctl.h>

namespace {

// Where libblkid 2.38 looks, measured on its reads. The head holds the
// labels of most formats; the farthest are a 256 KiB read at the start
// (an external XFS log) and UFS's superblock just past 256 KiB. At the
// end, firmware RAID metadata, which it looks for on whole disks only,
// reaches back as far as Promise's 991 sectors; on a partition nothing
// lies further back than 257 sectors.
constexpr uint64_t kHeadBytes = 260 * 1024;
constexpr uint64_t kDiskTailBytes = 496 * 1024;
constexpr uint64_t kPartitionTailBytes = 132 * 1024;
// Single pages in between: LUKS2's secondary headers (VMFS reads two of
// the same pages), and Promise's farthest copy, on whole disks.
constexpr uint64_t kHeadSpots[] = {512 * 1024, 1024 * 1024, 2048 * 1024,
                                   4096 * 1024};
constexpr uint64_t kDiskEndSpotBytes = 3087 * 512;
constexpr uint64_t kPageBytes = 4096;
// From 64 MiB on, any device may be a ZFS member: its four 256 KiB labels
// are read whole, two at the head and two before the last 256 KiB
// boundary (so up to 256 KiB further back than the end).
constexpr uint64_t kZfsSmallestBytes = 64 * 1024 * 1024;
constexpr uint64_t kZfsLabelBytes = 256 * 1024;

void prefetch_range(int fd, uint64_t offset, uint64_t length) {
  posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                POSIX_FADV_WILLNEED);
}

// The kernel reads at most one request's worth per call (a USB stick's
// 120 KiB, say, where virtio takes megabytes): longer ranges go in pieces
// of that size, each one request. The odd remainder goes where the kernel
// has most likely read already, its partition tables at either end of a
// disk, so that it costs no request of its own: first at the head, last
// at the tail.
void prefetch_head(int fd, uint64_t length, uint64_t piece) {
  uint64_t offset = 0;
  if (length % piece != 0) {
    prefetch_range(fd, 0, length % piece);
    offset = length % piece;
  }
  for (; offset < length; offset += piece) prefetch_range(fd, offset, piece);
}

void prefetch_tail(int fd, uint64_t start, uint64_t end, uint64_t piece) {
  for (uint64_t offset = start; offset < end; offset += piece)
    prefetch_range(fd, offset, end - offset < piece ? end - offset : piece);
}

void prefetch_page(int fd, uint64_t offset, uint64_t head,
                   uint64_t tail_start) {
  const uint64_t page = offset & ~(kPageBytes - 1);
  if (page >= head && page + kPageBytes <= tail_start)
    prefetch_range(fd, page, kPageBytes);
}

}  // namespace

void prefetch_probe_areas(int fd, bool whole_disk) {
  uint64_t size = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) != 0 || size == 0) return;
  uint64_t head = kHeadBytes;
  uint64_t tail = whole_disk ? kDiskTailBytes : kPartitionTailBytes;
  if (size >= kZfsSmallestBytes) {
    head = 2 * kZfsLabelBytes;
    const uint64_t labels_tail = 2 * kZfsLabelBytes + size % kZfsLabelBytes;
    if (tail < labels_tail) tail = labels_tail;
  }
  unsigned short max_sectors = 0;
  uint64_t piece = head + tail;
  if (ioctl(fd, BLKSECTGET, &max_sectors) == 0 && max_sectors > 0)
    piece = static_cast<uint64_t>(max_sectors) * 512;
  if (piece < kPageBytes) piece = kPageBytes;

  if (size <= head + tail) {
    prefetch_tail(fd, 0, size, piece);
    return;
  }
  prefetch_head(fd, head, piece);
  const uint64_t tail_start = size - tail;
  for (uint64_t spot : kHeadSpots) prefetch_page(fd, spot, head, tail_start);
  if (whole_disk && size > kDiskEndSpotBytes)
    prefetch_page(fd, size - kDiskEndSpotBytes, head, tail_start);
  prefetch_tail(fd, tail_start, size, piece);
}
