#include "bootargs/boot_args.h"

#include <stdlib.h>

void free_fs_types(FsTypeNode* head) {
  while (head != nullptr) {
    FsTypeNode* next = head->next;
    free(head->name);
    free(head);
    head = next;
  }
}

void free_boot_args(BootArgs** handle) {
  BootArgs* args = *handle;
  if (args == nullptr) return;
  free(args->root_path);
  free_fs_types(args->fs_types);
  free(args);
}
