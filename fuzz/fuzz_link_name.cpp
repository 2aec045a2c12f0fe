// is_safe_link_name decides whether text read from a disk header may
// become a link under /dev/disk. It is checked against where a link of
// that name would land, worked out by the path rules themselves (the C++
// library's lexical normal form) rather than by the same three tests: the
// text is safe exactly when the link path, normalised, is an entry directly
// in the link directory and bears the text unchanged as its name.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "devnodes/link_name.h"
#include "fuzz_support.h"

namespace {

bool lands_as_itself(const std::string& name) {
  const std::filesystem::path dir = "/dev/disk/by-uuid";
  const std::filesystem::path link = (dir / name).lexically_normal();
  return link.has_filename() && link.parent_path() == dir && link.filename() == name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string name(text, strnlen(text, size));
  char* copy = fuzz_exact_copy(name);
  const bool accepted = is_safe_link_name(copy);
  free(copy);

  if (accepted != lands_as_itself(name))
    fuzz_fail("is_safe_link_name(%s) = %d", fuzz_escape(name).c_str(), accepted);
  return 0;
}
