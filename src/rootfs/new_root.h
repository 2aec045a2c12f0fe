#pragma once

#include <sys/types.h>

#include <stdint.h>

// Hands the machine to the file system mounted at new_root: empties the
// RAM disk, moves new_root onto "/", enters it and executes next_init
// with argv. Returns only when that cannot be done, after saying why
// (nothing is said when the exec itself fails).
void enter_new_root(const char* new_root, const char* next_init,
                    char* const* argv);

// Deletes path and everything below it that lives on root_dev; entries of
// other file systems are left alone. Failures are silent.
void purge_old_root(const char* path, uint64_t root_dev);

// True when the file system of path is a RAM disk (ramfs or tmpfs), the
// only kind that may be purged.
bool is_ramdisk(const char* path);
