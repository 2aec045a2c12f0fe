#include "devnodes/link_name.h"

#include <string.h>

bool is_safe_link_name(const char* name) {
  if (name[0] == '\0') return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strchr(name, '/') == nullptr;
}
