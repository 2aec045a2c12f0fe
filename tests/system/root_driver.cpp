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
//   root_driver bench PASSES CMDLINE [STAT]
//                                         time wait-loop passes (scan plus
//                                         mount attempt) while the root is
//                                         absent; prints microseconds per pass
//                                         and, given a disk's sysfs stat file,
//                                         its completed reads after the first
//                                         pass and after the last
//   root_driver guest-bench PASSES CMDLINE [STAT]
//                                         the same as a QEMU guest's /init:
//                                         loads /etc/quenvale_list first and
//                                         waits for a partition to show (never
//                                         used on the host: it loads modules)
// Options before the mode change the RAM disk's /dev once the built-in
// nodes exist: --deny-block-nodes makes every block device node request
// fail with EPERM, as on a /dev that refuses them; --read-only-dev remounts
// /dev read-only; --dev-disk-file puts a plain file where /dev/disk goes.
// The modes that exit list the descriptors still open, so that the tests
// see any the operations leaked; leak-checking builds check memory too.
#include <dirent.h>
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <vector>

#include "bootargs/cmdline.h"
#include "common/die.h"
#include "completed_reads.h"
#include "devnodes/block_devices.h"
#include "devnodes/held_devices.h"
#include "init/start.h"
#include "modules/module_list.h"
#include "rootfs/mount_root.h"

namespace {

bool g_deny_block_nodes = false;
bool g_read_only_dev = false;
bool g_dev_disk_file = false;

// The filter checks the calling convention first: a system call number
// means another call under another ABI.
#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
constexpr unsigned kAuditArch = AUDIT_ARCH_MIPSEL64;
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABIO32
constexpr unsigned kAuditArch = AUDIT_ARCH_MIPSEL;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && defined(__ARMEL__)
constexpr unsigned kAuditArch = AUDIT_ARCH_ARM;
#elif defined(__s390x__)
constexpr unsigned kAuditArch = AUDIT_ARCH_S390X;
#else
#error "no seccomp audit architecture for this target"
#endif

// seccomp_data's arguments are 64-bit on every ABI; a 32-bit load takes
// the low half, which a big-endian machine stores second.
constexpr unsigned kLowWord = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0;

// mknodat(dirfd, path, mode, dev) with a block type in mode: EPERM.
void deny_block_nodes() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_mknodat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               offsetof(struct seccomp_data, args[2]) + kLowWord),
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, S_IFMT),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, S_IFBLK, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  struct sock_fprog program = {
      static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    perror("seccomp");
    exit(3);
  }
}

void prepare() {
  mount_pseudo_filesystems();
  make_static_nodes();
  if (g_dev_disk_file) {
    FILE* file = fopen("/dev/disk", "w");
    if (file == nullptr) {
      perror("/dev/disk");
      exit(3);
    }
    fclose(file);
  }
  if (g_read_only_dev &&
      mount(nullptr, "/dev", nullptr, MS_REMOUNT | MS_RDONLY | MS_RELATIME,
            nullptr) != 0) {
    perror("remount /dev");
    exit(3);
  }
  if (g_deny_block_nodes) deny_block_nodes();
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

long long now_us() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

// The first pass makes every node and link; the later ones find them all
// there, as the wait loop does while the root device is still missing.
int bench_passes(int passes, char* cmdline, const char* stat_path) {
  BootArgs* args = nullptr;
  if (parse_cmdline_line(cmdline, &args) < 0) return 1;
  std::vector<long long> times;
  // As in the wait loop: what the passes probe stays open.
  HoldScope hold;
  for (int i = 0; i < passes; ++i) {
    const long long start = now_us();
    wait_loop_pass(args);
    times.push_back(now_us() - start);
    if (stat_path != nullptr && i == 0)
      printf("reads after the first pass: %lld\n", completed_reads(stat_path));
  }
  if (stat_path != nullptr)
    printf("reads after the last pass: %lld\n", completed_reads(stat_path));
  free_boot_args(&args);
  const long long first = times.front();
  times.erase(times.begin());
  std::sort(times.begin(), times.end());
  printf("first pass us: %lld\n", first);
  if (!times.empty())
    printf("later pass us: median %lld min %lld max %lld\n",
           times[times.size() / 2], times.front(), times.back());
  return 0;
}

// As the program does before its wait: the listed modules, then (not as
// the program does) up to ten seconds for a partition to show, so that the
// timed passes all see the disk.
void bring_up_guest_disk() {
  char* no_options[] = {nullptr};
  if (load_module_list(no_options) != 0)
    fputs("failed to load kmods\n", stderr);
  for (int i = 0; i < 1000; ++i) {
    DIR* dir = opendir("/sys/class/block");
    bool found = false;
    while (dir != nullptr && !found) {
      struct dirent* entry = readdir(dir);
      if (entry == nullptr) break;
      char path[512];
      snprintf(path, sizeof path, "/sys/class/block/%s/partition",
               entry->d_name);
      found = access(path, F_OK) == 0;
    }
    if (dir != nullptr) closedir(dir);
    if (found) return;
    usleep(10000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  report_open_fds("fds at start");
  for (; argc >= 2 && strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
    if (strcmp(argv[1], "--deny-block-nodes") == 0) {
      g_deny_block_nodes = true;
    } else if (strcmp(argv[1], "--read-only-dev") == 0) {
      g_read_only_dev = true;
    } else if (strcmp(argv[1], "--dev-disk-file") == 0) {
      g_dev_disk_file = true;
    } else {
      fprintf(stderr, "unknown option %s\n", argv[1]);
      return 2;
    }
  }
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
  if ((argc == 4 || argc == 5) && strcmp(argv[1], "bench") == 0) {
    prepare();
    return bench_passes(atoi(argv[2]), argv[3], argc == 5 ? argv[4] : nullptr);
  }
  if ((argc == 4 || argc == 5) && strcmp(argv[1], "guest-bench") == 0) {
    prepare();
    bring_up_guest_disk();
    return bench_passes(atoi(argv[2]), argv[3], argc == 5 ? argv[4] : nullptr);
  }
  fputs(
      "usage: root_driver scan | boot CMDLINE ARGV... | hand-over ARGV... |"
      " mount-only CMDLINE | bench PASSES CMDLINE [STAT] |"
      " guest-bench PASSES CMDLINE [STAT]\n",
      stderr);
  return 2;
}
