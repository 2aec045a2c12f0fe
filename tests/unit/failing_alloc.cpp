#include "failing_alloc.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
int g_fail_at = 0;
int g_seen = 0;

bool should_fail() {
  ++g_seen;
  return g_fail_at != 0 && g_seen == g_fail_at;
}
}  // namespace

void fail_allocation(int n) {
  g_fail_at = n;
  g_seen = 0;
}

int allocations_seen() { return g_seen; }

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
char* __real_strdup(const char* text);

void* __wrap_malloc(size_t size) {
  return should_fail() ? nullptr : __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size) {
  return should_fail() ? nullptr : __real_calloc(count, size);
}

char* __wrap_strdup(const char* text) {
  return should_fail() ? nullptr : __real_strdup(text);
}

int __wrap_asprintf(char** out, const char* format, ...) {
  if (should_fail()) return -1;
  va_list args;
  va_start(args, format);
  const int result = vasprintf(out, format, args);
  va_end(args);
  return result;
}
}
