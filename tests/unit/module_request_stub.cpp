// Every module load request of the unit tests passes here: the test binary
// links with --wrap=request_module_load. With the seccomp guard in force
// the request goes on to the kernel, which refuses it with EPERM. Where no
// guard can be installed (qemu-user refuses seccomp filters) no kernel is
// ever asked: the stand-in refuses with EPERM itself. So the loader's own
// work, the size limit, the mapping and the options, is tested on every
// target, the 32-bit ones under emulation included.
#include "module_request_stub.h"

#include <errno.h>
#include <string.h>

#include "test_support.h"

namespace {
SeenModuleRequest g_seen;
}  // namespace

const SeenModuleRequest& seen_module_requests() { return g_seen; }

void forget_module_requests() { g_seen = SeenModuleRequest(); }

extern "C" {
long __real_request_module_load(const void* image, size_t length,
                                const char* options);

long __wrap_request_module_load(const void* image, size_t length,
                                const char* options) {
  ++g_seen.count;
  g_seen.length = length;
  g_seen.first_word = 0;
  if (length >= sizeof(g_seen.first_word))
    memcpy(&g_seen.first_word, image, sizeof(g_seen.first_word));
  g_seen.options = options != nullptr ? options : "(null)";
  if (module_load_guarded())
    return __real_request_module_load(image, length, options);
  errno = EPERM;
  return -1;
}
}
