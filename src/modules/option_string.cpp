#include "modules/option_string.h"

#include <stdlib.h>
#include <string.h>

char* build_option_string(char* const* argv) {
  size_t length = 0;
  if (argv[0] != nullptr) {
    for (char* const* arg = argv + 1; *arg != nullptr; ++arg)
      length += strlen(*arg) + 1;
  }
  auto* options = static_cast<char*>(malloc(length + 1));
  if (options == nullptr) return nullptr;

  char* out = options;
  if (argv[0] != nullptr) {
    for (char* const* arg = argv + 1; *arg != nullptr; ++arg) {
      const size_t arg_length = strlen(*arg);
      memcpy(out, *arg, arg_length);
      out += arg_length;
      *out++ = ' ';
    }
  }
  *out = '\0';
  return options;
}
