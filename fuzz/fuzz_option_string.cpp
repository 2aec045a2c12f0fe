// build_option_string on an argument vector cut from the input at NUL
// bytes: the options must be exactly the arguments from the second on, in
// order, each followed by one blank.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "modules/option_string.h"

namespace {

constexpr size_t kMaxArguments = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty input is an empty vector; otherwise every NUL ends an
  // element, and the text after the last NUL is one more (maybe empty).
  std::vector<std::string> elements;
  if (size > 0) {
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    while (elements.size() < kMaxArguments) {
      const void* nul = memchr(text + start, '\0', size - start);
      const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                             : size;
      elements.emplace_back(text + start, end - start);
      if (nul == nullptr) break;
      start = end + 1;
    }
  }

  // Each element in its own exact-size block, the vector exactly as long
  // as needed, so ASan sees any read past an end.
  std::vector<char*> argv;
  for (const std::string& element : elements)
    argv.push_back(fuzz_exact_copy(element));
  argv.push_back(nullptr);
  char** vector = static_cast<char**>(malloc(argv.size() * sizeof(char*)));
  if (vector == nullptr) fuzz_fail("out of memory");
  memcpy(vector, argv.data(), argv.size() * sizeof(char*));

  char* options = build_option_string(vector);
  if (options == nullptr) fuzz_fail("no option string");

  std::string expected;
  for (size_t i = 1; i < elements.size(); ++i) expected += elements[i] + ' ';
  if (options != expected)
    fuzz_fail("%zu elements gave %s, expected %s", elements.size(),
              fuzz_escape(options).c_str(), fuzz_escape(expected).c_str());

  free(options);
  free(vector);
  for (char* element : argv) free(element);
  return 0;
}
