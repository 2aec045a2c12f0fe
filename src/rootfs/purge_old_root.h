#pragma once

#include <stdint.h>

// Deletes path and everything below it that lives on root_dev; entries of
// other file systems are left alone. Failures are silent.
void purge_old_root(const char* path, uint64_t root_dev);

// True when the file system of path is a RAM disk (ramfs or tmpfs), the
// only kind that may be purged.
bool is_ramdisk(const char* path);
