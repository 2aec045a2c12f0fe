// load_module_list_from on an arbitrary list file. Fuzzed lines can name
// any file of this machine, so module loading is forbidden by a seccomp
// filter before the first input, and device, proc and sys files are kept
// out of reach (see __wrap_open). With loading forbidden, every module in
// the list fails, so the result is decided by the first line alone.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "modules/load_module.h"
#include "modules/module_list.h"
#include "module_load_guard.h"

namespace {

constexpr size_t kLineChars = 1022;  // what one fgets of a 1024-byte buffer keeps
constexpr int kModuleUnreadable = -12;
constexpr unsigned kMapsCheckInterval = 16;

MemFile g_list;
int g_file_mappings = -1;
unsigned g_runs = 0;

char g_program[] = "quenvale-init";
char g_option1[] = "a=1";
char g_option2[] = "b";
char* g_argv[] = {g_program, g_option1, g_option2, nullptr};

bool under(const char* path, const char* dir) {
  const size_t length = strlen(dir);
  return strncmp(path, dir, length) == 0 &&
         (path[length] == '/' || path[length] == '\0');
}

// Opening a device node can have effects of its own (a watchdog starts
// counting, a FIFO blocks for ever), and some sysfs files map hardware.
// Only regular files and directories outside /dev, /proc and /sys may be
// opened; the code under test sees the refusal as an unopenable file.
bool safe_to_open(const char* path) {
  struct stat info;
  if (stat(path, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
    return false;
  char* real = realpath(path, nullptr);
  if (real == nullptr) return true;  // nothing there, or our own memfd
  const bool system_tree =
      under(real, "/dev") || under(real, "/proc") || under(real, "/sys");
  free(real);
  return !system_tree;
}

// Regular-file mappings, counted from /proc/self/maps.
int count_file_mappings() {
  FILE* maps = fopen("/proc/self/maps", "re");
  if (maps == nullptr) fuzz_fail("cannot read /proc/self/maps");
  int count = 0;
  char line[4096 + 256];
  while (fgets(line, sizeof(line), maps) != nullptr) {
    const char* path = strchr(line, '/');
    if (path != nullptr && strstr(line, " 00:00 ") == nullptr) ++count;
  }
  fclose(maps);
  return count;
}

// The first path in the list as the loader reads it.
std::string first_path(const uint8_t* data, size_t size) {
  std::string path;
  for (size_t i = 0; i < size && i < kLineChars; ++i) {
    if (data[i] == '\n' || data[i] == '\0') break;
    path += static_cast<char>(data[i]);
  }
  return path;
}

// Whether the loader gets as far as the (refused) system call for path:
// an openable regular file, not empty and not too large, starting with
// the ELF magic.
bool reaches_kernel(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  unsigned char magic[4] = {};
  const bool elf = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                   info.st_size >= 4 && info.st_size <= kMaxModuleSize &&
                   pread(fd, magic, sizeof(magic), 0) == 4 &&
                   memcmp(magic, "\x7f" "ELF", 4) == 0;
  close(fd);
  return elf;
}

}  // namespace

// Linked with -Wl,--wrap=open: every open() of the code under test (and of
// this file) comes here first.
extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (!safe_to_open(path)) {
    errno = EACCES;
    return -1;
  }
  return __real_open(path, flags, mode);
}

#ifdef QUENVALE_FUZZ_REPLAY
// Under qemu-user, which refuses seccomp filters, no request reaches a
// kernel: the build wraps the request, and without the guard it is refused
// here as the guard would refuse it.
bool g_guarded = false;

extern "C" long __real_request_module_load(const void* image, size_t length,
                                           const char* options);
extern "C" long __wrap_request_module_load(const void* image, size_t length,
                                           const char* options) {
  if (g_guarded) return __real_request_module_load(image, length, options);
  errno = EPERM;
  return -1;
}
#endif

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
#ifdef QUENVALE_FUZZ_REPLAY
  g_guarded = install_module_load_guard();
#else
  install_module_load_guard_or_abort();
#endif
  fuzz_silence_program_stderr(argc, argv);
  g_list = fuzz_make_memfile("quenvale-list");
  g_file_mappings = count_file_mappings();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_rewrite_memfile(g_list, data, size);
  const uint64_t open_fds = fuzz_open_fds();

  errno = 0;
  const int result = load_module_list_from(g_list.path.c_str(), g_argv);
  const int error = errno;

  const uint64_t open_after = fuzz_open_fds();
  if (open_after != open_fds)
    fuzz_fail("load_module_list_from changed the open descriptors: %#llx, was %#llx",
              static_cast<unsigned long long>(open_after),
              static_cast<unsigned long long>(open_fds));
  if (result != 0 && result != -1 && result != kModuleUnreadable && result <= 0)
    fuzz_fail("result %d is none of 0, -1, -12 or an error number", result);
  if (result == kModuleUnreadable && error != ENOMEM)
    fuzz_fail("result -12 with errno %d (%s), not ENOMEM", error, strerror(error));

  // The list exists and every load is refused with EPERM: an empty list
  // loads nothing and succeeds, otherwise the first line decides.
  int expected = 0;
  const std::string path = first_path(data, size);
  if (size > 0) expected = reaches_kernel(path) ? EPERM : kModuleUnreadable;
  if (result != expected)
    fuzz_fail("first path %s: result %d, expected %d",
              fuzz_escape(path).c_str(), result, expected);

  // Reading the maps costs more than a run; a leaked mapping stays, so a
  // periodic check still catches it (within the last interval of inputs).
  if (g_runs++ % kMapsCheckInterval == 0 || expected == EPERM) {
    const int mappings = count_file_mappings();
    if (mappings != g_file_mappings)
      fuzz_fail("%d file mappings after the call, %d before the first run "
                "(a module image stayed mapped, within the last %u inputs)",
                mappings, g_file_mappings, kMapsCheckInterval);
  }
  return 0;
}
