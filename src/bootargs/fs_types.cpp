#include "bootargs/fs_types.h"

#include <stdlib.h>
#include <string.h>

namespace {

bool append_type(FsTypeNode*** tail, const char* name) {
  auto* node = static_cast<FsTypeNode*>(calloc(1, sizeof(FsTypeNode)));
  if (node == nullptr) return false;
  node->name = strdup(name);
  if (node->name == nullptr) {
    free(node);
    return false;
  }
  **tail = node;
  *tail = &node->next;
  return true;
}

}  // namespace

FsTypeNode* parse_fs_types(char* type_arg) {
  FsTypeNode* head = nullptr;
  FsTypeNode** tail = &head;

  if (type_arg != nullptr) {
    char* names = strchr(type_arg, '=');
    names = names ? names + 1 : type_arg;
    char* save = nullptr;
    for (char* name = strtok_r(names, ",", &save); name != nullptr;
         name = strtok_r(nullptr, ",", &save)) {
      if (!append_type(&tail, name)) {
        free_fs_types(head);
        return nullptr;
      }
    }
  }
  // The kernel's most common root type is always the last resort.
  if (!append_type(&tail, "ext4")) {
    free_fs_types(head);
    return nullptr;
  }
  return head;
}
