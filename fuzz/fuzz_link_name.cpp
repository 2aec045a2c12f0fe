// is_safe_link_name decides whether text read from a disk header may
// become a link under /dev/disk: it must be exactly one plain path
// component.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "devnodes/link_name.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string name(text, strnlen(text, size));
  char* copy = fuzz_exact_copy(name);
  const bool accepted = is_safe_link_name(copy);
  free(copy);

  const bool one_component = !name.empty() && name != "." && name != ".." &&
                             name.find('/') == std::string::npos;
  if (accepted != one_component)
    fuzz_fail("is_safe_link_name(%s) = %d", fuzz_escape(name).c_str(), accepted);
  return 0;
}
