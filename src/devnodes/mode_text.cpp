#include "devnodes/mode_text.h"

#include <stdlib.h>
#include <sys/stat.h>

namespace {

constexpr uint32_t kPermissionBits = 07777;
constexpr uint32_t kSymbolicStart = 0666;
// Directory type bit plus the three execute bits: what makes X apply.
constexpr uint32_t kConditionalExecute = 040111;

uint32_t who_bits(char c) {
  switch (c) {
    case 'a': return 07777;
    case 'u': return 04700;
    case 'g': return 02070;
    case 'o': return 00007;  // the sticky bit belongs to nobody
    default: return 0;
  }
}

uint32_t permission_bits(char c) {
  switch (c) {
    case 'r': return 0444;
    case 'w': return 0222;
    case 'x': return 0111;
    case 'X': return 0111;
    case 's': return 06000;
    case 't': return 01000;
    default: return 0;
  }
}

bool is_copy_source(char c) { return c == 'u' || c == 'g' || c == 'o'; }

uint32_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

int parse_octal(const char* text, uint32_t* mode) {
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, 8);
  if (*end != '\0' || value > kPermissionBits) return -1;
  *mode = static_cast<uint32_t>(value);
  return 0;
}

// Copy operand ("o=g"): the source's rwx bits, each spread to all classes.
uint32_t copy_operand(uint32_t mode, char source) {
  uint32_t bits = mode & who_bits(source);
  uint32_t operand = bits & 0777;
  if (bits & 0444) operand |= 0444;
  if (bits & 0222) operand |= 0222;
  if (bits & 0111) operand |= 0111;
  return operand;
}

uint32_t list_operand(const char** cursor, uint32_t mode) {
  uint32_t operand = 0;
  const char* p = *cursor;
  while (uint32_t bits = permission_bits(*p)) {
    if (*p != 'X' || (mode & kConditionalExecute)) operand |= bits;
    ++p;
  }
  *cursor = p;
  return operand;
}

// One clause after its who letters: a run of actions such as "+r-w".
int parse_actions(const char** cursor, uint32_t who, uint32_t* mode) {
  const uint32_t clear = who ? ~who : ~kPermissionBits;
  const char* p = *cursor;
  for (;;) {
    const char op = *p;
    if (op != '+' && op != '-' && op != '=') return -1;
    if (op == '=') *mode &= clear;
    ++p;

    uint32_t operand;
    if (is_copy_source(*p)) {
      operand = copy_operand(*mode, *p);
      ++p;
    } else {
      operand = list_operand(&p, *mode);
    }

    if (operand) {
      const uint32_t allowed = who ? who : ~current_umask();
      const uint32_t bits = operand & allowed;
      if (op == '-')
        *mode &= ~bits;
      else
        *mode |= bits;
    }
    if (*p == '\0' || *p == ',') break;
  }
  *cursor = p;
  return 0;
}

int parse_symbolic(const char* text, uint32_t* result) {
  uint32_t mode = kSymbolicStart;
  const char* p = text;
  while (*p != '\0') {
    if (*p == ',') {
      ++p;
      continue;
    }
    uint32_t who = 0;
    while (uint32_t bits = who_bits(*p)) {
      who |= bits;
      ++p;
    }
    if (*p == '\0') return -1;
    if (parse_actions(&p, who, &mode) != 0) return -1;
  }
  *result = mode;
  return 0;
}

}  // namespace

int parse_mode(const char* text, uint32_t* mode) {
  if (text[0] >= '0' && text[0] <= '7') return parse_octal(text, mode);
  return parse_symbolic(text, mode);
}
