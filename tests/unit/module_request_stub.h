#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// What the last module load request handed to the kernel, as the unit
// tests see it through the stand-in for the request.
struct SeenModuleRequest {
  int count = 0;  // requests since the last forget_module_requests()
  size_t length = 0;
  uint32_t first_word = 0;  // the image's first four bytes, little-endian
  std::string options;
};

const SeenModuleRequest& seen_module_requests();
void forget_module_requests();
