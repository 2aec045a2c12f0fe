// parse_dev_line on what a sysfs "dev" file read can hand it: a C string
// of at most 31 characters.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "devnodes/dev_line.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kMaxLine = 31;  // read with a limit of 31 into 32 bytes

// Non-empty runs between ':' separators.
size_t count_tokens(const std::string& line) {
  size_t tokens = 0;
  bool in_token = false;
  for (char c : line) {
    if (c == ':') {
      in_token = false;
    } else if (!in_token) {
      in_token = true;
      ++tokens;
    }
  }
  return tokens;
}

// A decimal number as the kernel writes one: no sign, no leading zero,
// below 2^32. Consumes it from text at *pos.
bool take_decimal(const std::string& text, size_t* pos, uint32_t* value) {
  size_t p = *pos;
  uint64_t number = 0;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
    number = number * 10 + static_cast<uint64_t>(text[p] - '0');
    if (number > UINT32_MAX) return false;
    ++p;
  }
  const size_t digits = p - *pos;
  if (digits == 0 || (digits > 1 && text[*pos] == '0')) return false;
  *pos = p;
  *value = static_cast<uint32_t>(number);
  return true;
}

// "<major>:<minor>" with an optional final newline.
bool is_kernel_line(const std::string& line, uint32_t* major, uint32_t* minor) {
  size_t pos = 0;
  if (!take_decimal(line, &pos, major)) return false;
  if (pos >= line.size() || line[pos] != ':') return false;
  ++pos;
  if (!take_decimal(line, &pos, minor)) return false;
  return pos == line.size() || (pos + 1 == line.size() && line[pos] == '\n');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string line(text, strnlen(text, std::min(size, kMaxLine)));
  char* copy = fuzz_exact_copy(line);

  uint32_t major = 0xFFFFFFFFU, minor = 0xFFFFFFFFU;
  const int result = parse_dev_line(copy, &major, &minor);
  free(copy);

  const size_t tokens = count_tokens(line);
  if (result != 0 && result != -1)
    fuzz_fail("parse_dev_line(%s) returned %d", fuzz_escape(line).c_str(), result);
  if ((result == 0) != (tokens >= 2))
    fuzz_fail("parse_dev_line(%s) returned %d with %zu tokens",
              fuzz_escape(line).c_str(), result, tokens);

  uint32_t want_major, want_minor;
  if (is_kernel_line(line, &want_major, &want_minor) &&
      (result != 0 || major != want_major || minor != want_minor))
    fuzz_fail("parse_dev_line(%s) gave %d, %u:%u; expected %u:%u",
              fuzz_escape(line).c_str(), result, major, minor, want_major,
              want_minor);
  return 0;
}
