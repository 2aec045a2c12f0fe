#pragma once

#include <stddef.h>

// The kernel's init_module request for an image in memory: the call's own
// result, with errno as the kernel left it. The one place the program asks
// the kernel to load code; tests that cannot let a request reach a kernel
// stand in for it here, which is why it keeps its plain C name.
extern "C" long request_module_load(const void* image, size_t length,
                                    const char* options);
