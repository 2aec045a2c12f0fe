// Test driver: what the UUID probe of one block device reads, with and
// without the prefetch, counted in the device's page cache (mincore) and
// in its sysfs read counters, so free of timing.
//
//   probe_reads DEVICE STAT
//
// First the probe alone, as the prefetch's plan must foresee it: libblkid
// on a descriptor of the init's kind, then the pages it left cached. The
// device is closed, which drops them (checked). Then the init's own probe
// (open_probe, the prefetch, finish_probe), with the read requests the
// prefetch sent and those the probe then sent itself, which a plan that
// foresees every page the probe reads keeps at zero; and the probe's pages
// that no read of the plan covers. STAT is the sysfs stat file of DEVICE.
// Prints "name value" lines.
#include <blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "completed_reads.h"
#include "devnodes/held_devices.h"
#include "devnodes/probe_prefetch.h"
#include "devnodes/probe_uuid.h"

namespace {

constexpr size_t kPage = 4096;

// The device's pages now in its page cache, through a descriptor that
// keeps them there while it is open.
std::vector<bool> cached_pages(int fd, uint64_t size) {
  const size_t pages = (size + kPage - 1) / kPage;
  std::vector<bool> cached(pages, false);
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return cached;
  std::vector<unsigned char> vector(pages);
  if (mincore(map, size, vector.data()) == 0)
    for (size_t i = 0; i < pages; ++i) cached[i] = (vector[i] & 1) != 0;
  munmap(map, size);
  return cached;
}

size_t count(const std::vector<bool>& pages) {
  size_t n = 0;
  for (bool page : pages) n += page ? 1 : 0;
  return n;
}

std::vector<bool> probe_alone(const char* device, uint64_t size) {
  const int hold = open(device, O_RDONLY | O_CLOEXEC);
  const int fd = open(device, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  blkid_probe probe = blkid_new_probe();
  blkid_probe_set_device(probe, fd, 0, 0);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  blkid_do_probe(probe);
  blkid_free_probe(probe);
  close(fd);
  std::vector<bool> pages = cached_pages(hold, size);
  close(hold);
  return pages;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: probe_reads DEVICE STAT\n");
    return 2;
  }
  const char* device = argv[1];
  const char* stat = argv[2];
  uint64_t size = 0;
  {
    const int fd = open(device, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, BLKGETSIZE64, &size) != 0) {
      perror(device);
      return 1;
    }
    close(fd);
  }

  const std::vector<bool> probed = probe_alone(device, size);
  const int hold = open(device, O_RDONLY | O_CLOEXEC);
  printf("left-cached %zu\n", count(cached_pages(hold, size)));

  HoldScope scope;
  const long long before = completed_reads(stat);
  OpenedProbe opened;
  if (open_probe(device, &opened) != 0) return 1;
  uint64_t piece = UINT64_MAX;
  unsigned short max_sectors = 0;
  if (ioctl(opened.device.get(), BLKSECTGET, &max_sectors) == 0 &&
      max_sectors > 0)
    piece = max_sectors * 512ULL;
  ProbeRead plan[kMaxProbeReads];
  const size_t planned = plan_probe_reads(size, opened.whole_disk, piece, plan);
  const long long prefetched = completed_reads(stat);
  char* uuid = nullptr;
  finish_probe(&opened, &uuid);
  free(uuid);
  const long long probed_after = completed_reads(stat);
  const std::vector<bool> with_prefetch = cached_pages(hold, size);
  close(hold);

  // The plan's own promise, free of the kernel's timing: every page the
  // probe reads lies in one of its reads.
  std::vector<bool> planned_pages(probed.size(), false);
  for (size_t r = 0; r < planned; ++r)
    for (uint64_t page = plan[r].offset / kPage;
         page < (plan[r].offset + plan[r].length + kPage - 1) / kPage &&
         page < planned_pages.size();
         ++page)
      planned_pages[page] = true;
  size_t extra = 0;
  size_t unplanned = 0;
  for (size_t i = 0; i < probed.size(); ++i) {
    extra += with_prefetch[i] && !probed[i] ? 1 : 0;
    unplanned += probed[i] && !planned_pages[i] ? 1 : 0;
  }
  printf("size %llu\n", static_cast<unsigned long long>(size));
  printf("probe-pages %zu\n", count(probed));
  printf("prefetch-pages %zu\n", count(with_prefetch));
  printf("extra-pages %zu\n", extra);
  printf("planned-reads %zu\n", planned);
  printf("unplanned-pages %zu\n", unplanned);
  printf("prefetch-requests %lld\n", prefetched - before);
  printf("probe-requests %lld\n", probed_after - prefetched);
  return 0;
}
