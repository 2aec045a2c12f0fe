#pragma once

#include "common/handles.h"

// Turns a "root=" argument into the device path to wait for:
//   root=PARTUUID=v -> /dev/disk/by-partuuid/v
//   root=UUID=v     -> /dev/disk/by-uuid/v
//   root=/dev/x     -> /dev/x
//   root=x          -> /dev/x
// Returns 0, or -1 after writing the reason to standard error. The
// argument is left unchanged.
int build_root_path(const char* root_arg, UniqueCString* root_path);
