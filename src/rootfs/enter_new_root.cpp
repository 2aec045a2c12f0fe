#include "rootfs/enter_new_root.h"

#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rootfs/purge_old_root.h"

void enter_new_root(const char* new_root, const char* next_init,
                    char* const* argv) {
  // Results of chdir, stat and chroot are not needed: a failure shows as
  // the device check or the exec failing.
  if (chdir(new_root) != 0) {
  }
  struct stat old_root = {};
  struct stat target = {};
  stat("/", &old_root);
  stat(".", &target);
  if (old_root.st_dev == target.st_dev) {
    fprintf(stderr, "%s must be a mountpoint\n", new_root);
    return;
  }

  // Only a RAM disk is ever emptied: on any other root the purge would
  // delete a real file system.
  if (is_ramdisk("/"))
    purge_old_root("/", old_root.st_dev);
  else
    fputs("/ is not a ramdisk, not purging\n", stderr);

  if (mount(".", "/", nullptr, MS_MOVE, nullptr) != 0) {
    fputs("failed to moving root\n", stderr);
    return;
  }
  if (chroot(".") != 0) {
  }
  // exec drops unwritten stdio buffers.
  fflush(stdout);
  fflush(stderr);
  execv(next_init, argv);
}
