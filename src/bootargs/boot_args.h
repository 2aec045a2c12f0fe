#pragma once

// One file-system type to try for the root mount. Owned strings, allocated
// with malloc, so the list can be released without knowing who built it.
struct FsTypeNode {
  char* name;
  FsTypeNode* next;
};

// What the kernel command line says about the root file system. The type
// list is never empty and always ends with "ext4".
struct BootArgs {
  char* root_path;
  FsTypeNode* fs_types;
};

void free_fs_types(FsTypeNode* head);

// Releases the record behind *handle with its path and every type node.
// Leaves *handle as it is; a null record is ignored.
void free_boot_args(BootArgs** handle);
