/* /bin/e2fsck of the boot tests' timed images: writes one line to the
 * kernel log, so that the console shows on the kernel's clock when the
 * root check began, then executes the real checker, /bin/e2fsck.real, in
 * its place (same process, same argument vector, argv[0] included, so its
 * output reads as without the stamp; its status is the checker's).
 *
 * At that point /dev is quenvale-init's tmpfs, which holds no kmsg node:
 * one is made for the write and removed after it, leaving /dev as found.
 * A failed stamp only loses the figure; the check runs in any case. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define REAL_CHECKER "/bin/e2fsck.real"
#define KMSG "/dev/kmsg"
#define STAMP "QUENVALE-STAMP e2fsck\n"
/* e2fsck's own "operational error" status. */
#define FAILED 8

static void stamp(void) {
  int made = 0, fd;

  if (mknod(KMSG, S_IFCHR | 0600, makedev(1, 11)) == 0)
    made = 1;
  else if (errno != EEXIST)
    perror("e2fsck stamp: mknod " KMSG);
  fd = open(KMSG, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    perror("e2fsck stamp: " KMSG);
  } else {
    if (write(fd, STAMP, strlen(STAMP)) < 0) perror("e2fsck stamp: write");
    close(fd);
  }
  if (made) unlink(KMSG);
}

int main(int argc, char** argv) {
  (void)argc;
  stamp();
  execv(REAL_CHECKER, argv);
  perror("e2fsck stamp: " REAL_CHECKER);
  return FAILED;
}
