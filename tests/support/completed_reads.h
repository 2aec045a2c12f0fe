#pragma once

// The first field of a block device's sysfs stat file STAT_PATH: its
// completed read requests, once the count has settled (a prefetch's reads
// complete in the background). -1 when it cannot be read.
long long completed_reads(const char* stat_path);
