#pragma once

// The first field of a block device's sysfs stat file STAT_PATH: its
// completed read requests, once none is in flight (a prefetch's reads
// complete in the background). -1 when it cannot be read.
long long completed_reads(const char* stat_path);
