#pragma once

#include "bootargs/boot_args.h"

// Builds the type list from a "rootfstype=a,b" argument (or none): the
// named types in order, then "ext4". Cuts type_arg in place. Returns null
// when a node or a name cannot be allocated, with nothing left allocated.
FsTypeNode* parse_fs_types(char* type_arg);
