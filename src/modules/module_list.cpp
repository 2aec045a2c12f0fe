#include "modules/module_list.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/handles.h"
#include "modules/load_module.h"

int load_module_list(char* const* argv) {
  return load_module_list_from("/etc/quenvale_list", argv);
}

int load_module_list_from(const char* list_path, char* const* argv) {
  char line[kPathBufferSize] = {};
  if (access(list_path, F_OK) != 0) {
    fprintf(stderr, "%s not found\n", list_path);
    return -1;
  }
  UniqueFile list(fopen(list_path, "r"));
  if (!list) {
    fprintf(stderr, "open %s failed:%s\n", list_path, strerror(errno));
    return -1;
  }
  // Lines are taken as they stand: no trimming, no comments, a blank line
  // is an (unopenable) empty path.
  while (fgets(line, kLineLimit, list.get()) != nullptr) {
    char* newline = strchr(line, '\n');
    if (newline != nullptr) *newline = '\0';
    const int result = load_module(line, argv);
    if (result != 0) return result;
  }
  return 0;
}
