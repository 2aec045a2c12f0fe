/* The floor of the boot benchmarks: the least an initramfs /init can do to
 * reach the same next stage, knowing the answer in advance. It loads the
 * modules of /etc/quenvale_list, waits for /sys/class/block/NAME/dev of the
 * root named by root=/dev/NAME (or root=NAME) on the command line, makes
 * that one block node (and /dev/null, for e2fsck), checks it with
 * /bin/e2fsck -f -y, mounts it as ext4, moves it onto /, enters it and
 * executes /etc/preinit with its own arguments.
 * No UUIDs, no scan of other devices, no purge of the RAM disk: every read
 * of the root disk before the check is one that any init has to make.
 *
 * Static C, no allocation; any failure ends it with a message, which the
 * kernel turns into a panic. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#define LINE 1024
#define FLOOR_NAME "floor-init"
#include "floor-common.h"

/* NAME of root=/dev/NAME or root=NAME. */
static void root_name(char *name, size_t size) {
  char line[LINE];
  if (read_text("/proc/cmdline", line, sizeof line) != 0) fail("/proc/cmdline");
  for (char *word = strtok(line, " \n"); word; word = strtok(NULL, " \n")) {
    if (strncmp(word, "root=", 5) != 0) continue;
    const char *value = word + 5;
    if (strncmp(value, "/dev/", 5) == 0) value += 5;
    snprintf(name, size, "%s", value);
    return;
  }
  errno = EINVAL;
  fail("no root= on the command line");
}

int main(int argc, char **argv) {
  char name[256], path[LINE], number[32], options[LINE] = "";
  unsigned major_number, minor_number;

  if (mount("proc", "/proc", "proc", 0, NULL) != 0) fail("mount /proc");
  if (mount("sysfs", "/sys", "sysfs", 0, NULL) != 0) fail("mount /sys");
  if (mount("tmpfs", "/dev", "tmpfs", 0, NULL) != 0) fail("mount /dev");
  /* e2fsck opens /dev/null to make sure of descriptors 0 to 2, and
   * complains when it is missing. */
  if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) fail("/dev/null");
  /* The same module options as quenvale-init: argv[2] on. */
  for (int i = 2; i < argc; i++) {
    strncat(options, argv[i], sizeof options - strlen(options) - 2);
    if (i + 1 < argc) strcat(options, " ");
  }
  load_modules(options);
  root_name(name, sizeof name);

  snprintf(path, sizeof path, "/sys/class/block/%s/dev", name);
  while (read_text(path, number, sizeof number) != 0) {
  }
  if (sscanf(number, "%u:%u", &major_number, &minor_number) != 2) fail(path);
  snprintf(path, sizeof path, "/dev/%s", name);
  if (mknod(path, S_IFBLK | 0600, makedev(major_number, minor_number)) != 0) fail(path);

  pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    execl("/bin/e2fsck", "/bin/e2fsck", "-f", "-y", path, (char *)NULL);
    _exit(8);
  }
  int status;
  if (waitpid(child, &status, 0) != child) fail("waitpid");

  if (mount(path, "/root", "ext4", 0, NULL) != 0) fail("mount root");
  umount2("/dev", MNT_DETACH);
  umount2("/proc", MNT_DETACH);
  umount2("/sys", MNT_DETACH);
  if (chdir("/root") != 0) fail("chdir /root");
  if (mount(".", "/", NULL, MS_MOVE, NULL) != 0) fail("move root");
  if (chroot(".") != 0) fail("chroot");
  if (chdir("/") != 0) fail("chdir /");
  fflush(NULL);
  execv("/etc/preinit", argv);
  fail("/etc/preinit");
  return 1;
}
