#pragma once

#include <blkid.h>

#include "common/handles.h"

// The partition half of the scan: links under /dev/disk/by-partuuid for
// the partitions of every disk in /sys/block. Never fails.
void link_partition_uuids();

// Reads a whole disk's partition table as the partition pass does. The
// list belongs to the probe, which goes to *probe; null when the disk
// cannot be opened or holds no partition table libblkid knows.
blkid_partlist read_partition_table(const char* disk_path, UniqueProbe* probe);
