// Test driver for the system tests. Inside a PID namespace the kernel
// command line is the host's and cannot be changed, so this driver takes
// the command line as an argument and then runs the program's own steps:
//
//   root_driver scan                      one block device scan, then exit
//   root_driver boot CMDLINE ARGV...      the start from the command line on,
//                                         with ARGV as the program's vector
//   root_driver hand-over ARGV...         the hand-over alone, no root mounted
//   root_driver mount-only CMDLINE        wait for the root and mount it, then
//                                         free everything and exit
// The modes that exit list the descriptors still open, so that the tests
// see any the operations leaked; leak-checking builds check memory too.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bootargs/cmdline.h"
#include "devnodes/block_devices.h"
#include "init/die.h"
#include "init/start.h"

namespace {

void prepare() {
  mount_pseudo_filesystems();
  make_static_nodes();
}

// Descriptors other than the standard three, as "<label>: 3 7". The test
// harness may hand some down; they show in the listing taken at start.
void report_open_fds(const char* label) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  printf("%s:", label);
  while (struct dirent* entry = readdir(dir)) {
    const int fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == dirfd(dir)) continue;
    printf(" %d", fd);
  }
  printf("\n");
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  report_open_fds("fds at start");
  if (argc >= 2 && strcmp(argv[1], "scan") == 0) {
    prepare();
    const int result = populate_block_devices();
    printf("scan result %d\n", result);
    report_open_fds("open fds");
    return result == 0 ? 0 : 1;
  }
  if (argc >= 4 && strcmp(argv[1], "boot") == 0) {
    prepare();
    BootArgs* args = nullptr;
    if (parse_cmdline_line(argv[2], &args) < 0) {
      fputs("cmdline format error\n", stderr);
      die();
    }
    return start_with_boot_args(args, argc - 3, argv + 3);
  }
  if (argc >= 3 && strcmp(argv[1], "hand-over") == 0) {
    prepare();
    BootArgs* args = nullptr;
    hand_over(&args, argv + 2);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "mount-only") == 0) {
    prepare();
    BootArgs* args = nullptr;
    if (parse_cmdline_line(argv[2], &args) < 0) return 1;
    wait_for_root(args);
    free_boot_args(&args);
    report_open_fds("open fds");
    return 0;
  }
  fputs("usage: root_driver scan | boot CMDLINE ARGV... | hand-over ARGV... |"
        " mount-only CMDLINE\n",
        stderr);
  return 2;
}
