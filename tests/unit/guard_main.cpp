// Test entry point. Before any test runs it forbids module loading for the
// whole test process, so no test can ever put a module into the kernel of
// the machine it runs on, whatever path it takes.
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__mips__) && defined(__MIPSEL__)
constexpr unsigned kAuditArch = AUDIT_ARCH_MIPSEL;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "unknown architecture for the module load guard"
#endif

bool g_guarded = false;
std::vector<std::string> g_scratch_dirs;
std::string g_tmpfs_dir;

void remove_scratch() {
  if (!g_tmpfs_dir.empty()) umount2(g_tmpfs_dir.c_str(), MNT_DETACH);
  for (const std::string& dir : g_scratch_dirs) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
}

bool install_module_load_guard() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      // x32 system calls share the architecture and set this bit; one of
      // them would be init_module under another number.
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x40000000, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_init_module, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_finit_module, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  struct sock_fprog program = {
      static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  // Emulators such as qemu-user refuse filters; then nothing is guarded.
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

bool module_load_guarded() { return g_guarded; }

std::string make_scratch_dir() {
  char dir[] = "/tmp/quenvale-test.XXXXXX";
  if (mkdtemp(dir) == nullptr) return "";
  g_scratch_dirs.emplace_back(dir);
  return dir;
}

std::string private_tmpfs_dir() {
  static std::string dir = [] {
    if (geteuid() != 0) return std::string();
    if (unshare(CLONE_NEWNS) != 0) return std::string();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string();
    std::string path = make_scratch_dir();
    if (path.empty() ||
        mount("quenvale-test", path.c_str(), "tmpfs", 0, nullptr) != 0)
      return std::string();
    g_tmpfs_dir = path;
    return path;
  }();
  return dir;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  g_guarded = install_module_load_guard();
  const int result = RUN_ALL_TESTS();
  remove_scratch();
  return result;
}
