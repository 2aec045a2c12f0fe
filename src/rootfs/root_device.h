#pragma once

#include <stddef.h>

// The device node a root path names, resolved into resolved (PATH_MAX
// bytes). UUIDs on the command line are typed by people, in the case a
// tool printed them (partitioning tools print GPT GUIDs in capitals),
// while libblkid names the links under /dev/disk in the case the disk
// stores: so under /dev/disk/by-uuid and /dev/disk/by-partuuid, when no
// link of exactly the given name exists, a link whose name matches it
// ignoring ASCII case is taken, as the kernel's own root=PARTUUID= does,
// provided it is the only one. An exact name always wins. Returns 0, or
// -1 when nothing resolves yet: the wait goes on, as for a missing device.
int resolve_root_device(const char* root_path, char* resolved);

// The inner step, for one link directory: dir/name when it resolves; when
// no entry of exactly that name exists, the one entry matching it ignoring
// ASCII case. Returns 0, or -1 (also for an empty name or one with a '/',
// and when several entries match ignoring case).
int resolve_in_link_dir(const char* dir, const char* name, char* resolved);

// The entry of directory dir whose name equals name ignoring ASCII case,
// as the path dir/<entry> in found. Returns 0, or -1 when there is none,
// when there are several, or when the path does not fit.
int find_name_ignoring_case(const char* dir, const char* name, char* found,
                            size_t found_size);
