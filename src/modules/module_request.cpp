#include "modules/module_request.h"

#include <sys/syscall.h>
#include <unistd.h>

#if defined(__mips__) && defined(_MIPS_SIM) && _MIPS_SIM == _ABIO32
static_assert(SYS_init_module == 4128, "o32 init_module is system call 4128");
#endif

long request_module_load(const void* image, size_t length,
                         const char* options) {
  return syscall(SYS_init_module, image, length, options);
}
