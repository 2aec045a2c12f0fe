/* /bin/e2fsck of bench/boot_bench.sh's images, in both of them: runs the
 * real checker, /bin/e2fsck.real, with the same arguments and prints how
 * long it took (fork to reaped child, monotonic clock), because neither
 * init prints anything around the check that would bound it otherwise. */
#include <errno.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define REAL_CHECKER "/bin/e2fsck.real"
/* e2fsck's own "operational error" status. */
#define FAILED 8

int main(int argc, char **argv) {
  struct timespec start, end;
  int status;
  pid_t child;

  (void)argc;
  clock_gettime(CLOCK_MONOTONIC, &start);
  child = fork();
  if (child < 0) {
    perror("e2fsck timer: fork");
    return FAILED;
  }
  if (child == 0) {
    argv[0] = (char *)REAL_CHECKER;
    execv(REAL_CHECKER, argv);
    perror("e2fsck timer: " REAL_CHECKER);
    _exit(FAILED);
  }
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      perror("e2fsck timer: waitpid");
      return FAILED;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("QUENVALE-E2FSCK-US %lld\n",
         (long long)(end.tv_sec - start.tv_sec) * 1000000 +
             (end.tv_nsec - start.tv_nsec) / 1000);
  fflush(stdout);
  return WIFEXITED(status) ? WEXITSTATUS(status) : FAILED;
}
