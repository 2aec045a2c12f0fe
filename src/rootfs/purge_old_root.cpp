#include "rootfs/purge_old_root.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "common/handles.h"

namespace {

constexpr unsigned long kRamfsMagic = 0x858458f6;
constexpr unsigned long kTmpfsMagic = 0x01021994;

UniqueCString join_path(const char* dir, const char* name) {
  const size_t dir_length = strlen(dir);
  const char* separator =
      (dir_length > 0 && dir[dir_length - 1] == '/') ? "" : "/";
  name += strspn(name, "/");
  char* path = nullptr;
  if (asprintf(&path, "%s%s%s", dir, separator, name) < 0)
    return UniqueCString();
  return UniqueCString(path);
}

}  // namespace

bool is_ramdisk(const char* path) {
  struct statfs info = {};
  if (statfs(path, &info) != 0) return false;
  // f_type is signed in one C library and unsigned in another; the magic
  // numbers fit either.
  const auto type = static_cast<unsigned long>(info.f_type);
  return type == kRamfsMagic || type == kTmpfsMagic;
}

void purge_old_root(const char* path, uint64_t root_dev) {
  struct stat info = {};
  if (lstat(path, &info) != 0) return;
  // Other file systems, the new root among them, are never touched.
  if (static_cast<uint64_t>(info.st_dev) != root_dev) return;
  if (!S_ISDIR(info.st_mode)) {
    unlink(path);
    return;
  }
  {
    UniqueDir dir(opendir(path));
    if (!dir) return;
    while (struct dirent* entry = readdir(dir.get())) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
        continue;
      UniqueCString child = join_path(path, entry->d_name);
      if (child) purge_old_root(child.get(), root_dev);
    }
  }
  // Fails for "/" and for directories still holding other file systems.
  rmdir(path);
}
