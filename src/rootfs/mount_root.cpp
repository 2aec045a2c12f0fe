#include "rootfs/mount_root.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/die.h"
#include "rootfs/root_device.h"

void check_filesystem(const char* device) {
  // The child inherits stdio buffers; flushed now, it cannot print the
  // parent's pending output a second time when it ends through exit.
  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    fputs("fork failed", stdout);
    die();
  }
  if (child == 0) {
    execl("/bin/e2fsck", "/bin/e2fsck", "-f", "-y", device,
          static_cast<char*>(nullptr));
    fputs("execl failed", stdout);
    die();
  }
  waitpid(child, nullptr, 0);
}

int mount_root(const BootArgs* args) {
  char device[PATH_MAX] = {};
  // Links under /dev/disk resolve to the node they name, so the checker
  // and the mount both get the device itself.
  if (resolve_root_device(args->root_path, device) != 0) return -1;

  int result = -1;
  for (const FsTypeNode* type = args->fs_types; type != nullptr;
       type = type->next) {
    if (strcmp(type->name, "ext4") == 0) check_filesystem(device);
    result = mount(device, "/root", type->name, MS_RELATIME, nullptr);
    if (result == 0) return 0;
  }
  return result;
}
