#include "devnodes/probe_prefetch.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdint.h>
#include <sys/ioctl.h>

namespace {

// Where libblkid 2.38 looks, measured on its reads: the head holds the
// labels of most formats, the farthest a 256 KiB read at the start and one
// at 256 KiB. At the end, firmware RAID metadata, which it looks for on
// whole disks only, reaches back as far as Promise's 991 sectors; on a
// partition nothing lies further back than 257 sectors.
constexpr uint64_t kHeadBytes = 264 * 1024;
constexpr uint64_t kDiskTailBytes = 512 * 1024;
constexpr uint64_t kPartitionTailBytes = 132 * 1024;
constexpr uint64_t kPageBytes = 4096;
// From 64 MiB on, any device may be a ZFS member: its four 256 KiB labels
// are read whole, two at the head and two before the last 256 KiB
// boundary (so up to 256 KiB further back than the end).
constexpr uint64_t kZfsSmallestBytes = 64 * 1024 * 1024;
constexpr uint64_t kZfsLabelBytes = 256 * 1024;

// The kernel reads at most one request's worth ahead per call (a USB
// stick's 120 KiB, say, where virtio takes megabytes): longer ranges go
// in pieces of that size, each one request.
void prefetch(int fd, uint64_t start, uint64_t length, uint64_t piece) {
  for (uint64_t offset = start; offset < start + length; offset += piece) {
    const uint64_t size = start + length - offset < piece ? start + length - offset : piece;
    posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                  POSIX_FADV_WILLNEED);
  }
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
    prefetch(fd, 0, size, piece);
    return;
  }
  prefetch(fd, 0, head, piece);
  prefetch(fd, size - tail, tail, piece);
}
