#include "bootargs/cmdline.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bootargs/fs_types.h"
#include "bootargs/root_path.h"
#include "common/handles.h"

int parse_cmdline(BootArgs** handle) {
  return parse_cmdline_file("/proc/cmdline", handle);
}

int parse_cmdline_file(const char* path, BootArgs** handle) {
  char line[kPathBufferSize] = {};
  {
    UniqueFile file(fopen(path, "r"));
    if (!file) {
      fprintf(stderr, "get cmdline failed:%s\n", strerror(errno));
      return -1;
    }
    if (fgets(line, kLineLimit, file.get()) == nullptr) {
      fputs("cmdline empty\n", stderr);
      return -1;
    }
  }
  return parse_cmdline_line(line, handle);
}

int parse_cmdline_line(char* line, BootArgs** handle) {
  const size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';

  // Substring tests on purpose: the last argument holding "root=" wins,
  // nfsroot= included, and rootfstype=, rootwait and rootdelay= do not.
  char* root_arg = nullptr;
  char* type_arg = nullptr;
  char* save = nullptr;
  for (char* arg = strtok_r(line, " ", &save); arg != nullptr;
       arg = strtok_r(nullptr, " ", &save)) {
    if (strstr(arg, "root=") != nullptr) root_arg = arg;
    if (strstr(arg, "rootfstype=") != nullptr) type_arg = arg;
  }
  if (root_arg == nullptr) {
    fputs("root args error\n", stderr);
    return -1;
  }

  UniqueCString root_path;
  if (build_root_path(root_arg, &root_path) != 0) return -1;

  FsTypeNode* fs_types = parse_fs_types(type_arg);
  if (fs_types == nullptr) {
    fputs("fstype error\n", stderr);
    return -1;
  }

  auto* args = static_cast<BootArgs*>(calloc(1, sizeof(BootArgs)));
  if (args == nullptr) {
    fputs("alloc bootargs failed\n", stderr);
    free_fs_types(fs_types);
    return -1;
  }
  args->root_path = root_path.release();
  args->fs_types = fs_types;
  *handle = args;
  return 0;
}
