/* What the two floors of the boot benchmarks (floor-init.c and
 * probe-floor-init.c) do alike: fail with a message, read a small file,
 * load /etc/quenvale_list. Static C, no allocation. Each floor defines
 * FLOOR_NAME, the name its messages begin with, before including this. */
#ifndef QUENVALE_BENCH_FLOOR_COMMON_H
#define QUENVALE_BENCH_FLOOR_COMMON_H

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static void fail(const char *what) {
  fprintf(stderr, FLOOR_NAME ": %s: %s\n", what, strerror(errno));
  exit(1);
}

/* The text of a small file, NUL-terminated; -1 when it cannot be read. */
static int read_text(const char *path, char *text, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t length = read(fd, text, size - 1);
  close(fd);
  if (length < 0) return -1;
  text[length] = '\0';
  return 0;
}

static void load_modules(const char *options) {
  char list[8192];
  if (read_text("/etc/quenvale_list", list, sizeof list) != 0) return;
  for (char *path = strtok(list, "\n"); path; path = strtok(NULL, "\n")) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(path);
    if (syscall(SYS_finit_module, fd, options, 0) != 0 && errno != EEXIST) fail(path);
    close(fd);
  }
}

#endif
