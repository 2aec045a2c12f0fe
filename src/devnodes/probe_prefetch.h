#pragma once

#include <stddef.h>
#include <stdint.h>

// Starts reading, in the background, the pages of a block device that a
// full libblkid superblock probe then reads piecemeal, in as few requests
// as that takes without reading much that the probe never looks at. The
// probe's many small reads then wait for pages already on their way
// instead of each sending one command to the device. Nothing here fails:
// without it the probe only reads more slowly.
void prefetch_probe_areas(int fd, bool whole_disk);

// One read of the plan below: a run of whole pages (the last one may end
// with the device).
struct ProbeRead {
  uint64_t offset;
  uint64_t length;
};

// Enough for every place the probe looks at, none merged.
constexpr size_t kMaxProbeReads = 48;

// The reads prefetch_probe_areas starts on a device of SIZE bytes whose
// requests carry at most PIECE bytes: sorted, none overlapping, none
// longer than PIECE. Returns how many it wrote to READS.
size_t plan_probe_reads(uint64_t size, bool whole_disk, uint64_t piece,
                        ProbeRead* reads);
