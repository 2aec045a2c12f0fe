#include "devnodes/dev_line.h"

#include <stdlib.h>
#include <string.h>

int parse_dev_line(const char* line, uint32_t* major, uint32_t* minor) {
  // Tokens as a ':'-tokenizer sees them: runs of ':' separate, leading
  // ones are skipped.
  const char* first = line + strspn(line, ":");
  if (*first == '\0') return -1;
  const char* second = first + strcspn(first, ":");
  second += strspn(second, ":");
  if (*second == '\0') return -1;
  *major = static_cast<uint32_t>(strtoul(first, nullptr, 0));
  *minor = static_cast<uint32_t>(strtoul(second, nullptr, 0));
  return 0;
}
