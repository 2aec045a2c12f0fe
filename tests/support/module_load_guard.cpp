#include "module_load_guard.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
// x32 calls carry the x86_64 audit arch but numbers with this bit set; the
// x32 init_module would slip past a check on SYS_init_module alone.
constexpr unsigned kForeignNumberBit = 0x40000000U;
#elif defined(__i386__)
constexpr unsigned kAuditArch = AUDIT_ARCH_I386;
constexpr unsigned kForeignNumberBit = 0;
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABIO32
constexpr unsigned kAuditArch = AUDIT_ARCH_MIPSEL;
constexpr unsigned kForeignNumberBit = 0;
#elif defined(__mips__) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
// o32 and n32 calls from a 64-bit process carry audit arches of their own,
// which the arch check turns away.
constexpr unsigned kAuditArch = AUDIT_ARCH_MIPSEL64;
constexpr unsigned kForeignNumberBit = 0;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
constexpr unsigned kForeignNumberBit = 0;
#elif defined(__arm__) && defined(__ARMEL__)
constexpr unsigned kAuditArch = AUDIT_ARCH_ARM;
constexpr unsigned kForeignNumberBit = 0;
#elif defined(__s390x__)
constexpr unsigned kAuditArch = AUDIT_ARCH_S390X;
constexpr unsigned kForeignNumberBit = 0;
#else
#error "unknown architecture for the module load guard"
#endif

// "Seccomp: 2" in /proc/self/status: a filter is in force.
bool seccomp_filter_active() {
  FILE* status = fopen("/proc/self/status", "re");
  if (status == nullptr) return false;
  char line[256];
  bool active = false;
  while (fgets(line, sizeof(line), status) != nullptr)
    if (strcmp(line, "Seccomp:\t2\n") == 0) active = true;
  fclose(status);
  return active;
}

}  // namespace

bool install_module_load_guard() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kForeignNumberBit, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_init_module, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_finit_module, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  struct sock_fprog program = {
      static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) return false;

  // The kernel's own view, then the calls themselves with arguments it
  // would reject anyway: a root process without the filter would get
  // EFAULT or EINVAL, never EPERM.
  if (!seccomp_filter_active()) return false;
  errno = 0;
  if (syscall(SYS_init_module, nullptr, 0UL, "") != -1 || errno != EPERM)
    return false;
  errno = 0;
  if (syscall(SYS_finit_module, -1, "", 0) != -1 || errno != EPERM)
    return false;
  return true;
}

void install_module_load_guard_or_abort() {
  if (install_module_load_guard()) return;
  fprintf(stderr, "module load guard not in force: %s\n", strerror(errno));
  abort();
}
