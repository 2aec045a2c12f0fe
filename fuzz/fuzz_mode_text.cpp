// parse_mode on arbitrary text. Besides range and umask hygiene, checks
// laws of chmod-style modes that hold whatever the parser looks like: a
// clause without class letters acts like "a" when the umask is 0 and never
// grants a bit the umask withholds; a text whose every clause names its
// classes does not depend on the umask and leaves the bits of unnamed
// classes alone.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "devnodes/mode_text.h"
#include "fuzz_support.h"

namespace {

constexpr uint32_t kStart = 0666;  // what a symbolic text is applied to

struct Outcome {
  int result;
  uint32_t mode;
};

Outcome parse_under_umask(const std::string& text, mode_t mask) {
  char* copy = fuzz_exact_copy(text);
  const mode_t previous = umask(mask);
  Outcome outcome = {0, 0xFFFFFFFFU};
  outcome.result = parse_mode(copy, &outcome.mode);
  const mode_t after = umask(previous);
  if (after != mask)
    fuzz_fail("umask changed from %03o to %03o by %s", mask, after,
              fuzz_escape(text).c_str());
  free(copy);
  if (outcome.result != 0 && outcome.result != -1)
    fuzz_fail("parse_mode(%s) returned %d", fuzz_escape(text).c_str(),
              outcome.result);
  if (outcome.result == 0 && outcome.mode > 07777)
    fuzz_fail("parse_mode(%s) gave %o, beyond 07777",
              fuzz_escape(text).c_str(), outcome.mode);
  return outcome;
}

bool is_who(char c) { return c == 'u' || c == 'g' || c == 'o' || c == 'a'; }

std::vector<std::string> clauses_of(const std::string& text) {
  std::vector<std::string> clauses;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    clauses.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return clauses;
    start = comma + 1;
  }
}

// Bits any chmod may touch for a class letter; the sticky bit is granted
// to 'o' as well, as implementations differ there.
uint32_t reach_of(char who) {
  switch (who) {
    case 'u': return 04700;
    case 'g': return 02070;
    case 'o': return 01007;
    default: return 07777;
  }
}

void check_octal(const std::string& text, const Outcome& got) {
  bool all_octal = true;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '7') {
      all_octal = false;
      break;
    }
    if (value <= 07777) value = value * 8 + static_cast<unsigned long>(c - '0');
  }
  const bool expect_accept = all_octal && value <= 07777;
  if ((got.result == 0) != expect_accept)
    fuzz_fail("octal %s: accepted=%d, expected %d", fuzz_escape(text).c_str(),
              got.result == 0, expect_accept);
  if (got.result == 0 && strtoul(text.c_str(), nullptr, 8) != got.mode)
    fuzz_fail("octal %s parsed as %o", fuzz_escape(text).c_str(), got.mode);
}

void check_symbolic(const std::string& text, mode_t mask, const Outcome& got) {
  std::string with_a;
  bool every_clause_named = true;
  bool every_clause_anonymous = true;
  uint32_t reach = 0;
  const std::vector<std::string> clauses = clauses_of(text);
  for (size_t i = 0; i < clauses.size(); ++i) {
    const std::string& clause = clauses[i];
    if (i > 0) with_a += ',';
    if (!clause.empty() && !is_who(clause[0])) {
      every_clause_named = false;
      with_a += 'a';
    }
    if (!clause.empty() && is_who(clause[0])) every_clause_anonymous = false;
    for (size_t j = 0; j < clause.size() && is_who(clause[j]); ++j)
      reach |= reach_of(clause[j]);
    with_a += clause;
  }

  const Outcome plain = parse_under_umask(text, 0);
  if (plain.result != got.result)
    fuzz_fail("%s: accepted under umask %03o but not under 000 or back",
              fuzz_escape(text).c_str(), mask);
  const Outcome named = parse_under_umask(with_a, 0);
  if (named.result != plain.result ||
      (plain.result == 0 && named.mode != plain.mode))
    fuzz_fail("umask 000: %s gives %d/%o but %s gives %d/%o",
              fuzz_escape(text).c_str(), plain.result, plain.mode,
              fuzz_escape(with_a).c_str(), named.result, named.mode);

  // Without class letters, no clause may grant a bit the umask withholds.
  if (got.result == 0 && every_clause_anonymous &&
      (got.mode & mask & ~kStart) != 0)
    fuzz_fail("%s granted umask bits %o under umask %03o",
              fuzz_escape(text).c_str(), got.mode & mask & ~kStart, mask);

  if (got.result != 0 || !every_clause_named) return;
  if (got.mode != plain.mode)
    fuzz_fail("%s depends on the umask: %o under %03o, %o under 000",
              fuzz_escape(text).c_str(), got.mode, mask, plain.mode);
  const uint32_t untouched = ~reach & 07777;
  if ((got.mode & untouched) != (kStart & untouched))
    fuzz_fail("%s changed bits %o outside the classes it names",
              fuzz_escape(text).c_str(),
              (got.mode ^ kStart) & untouched);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Mode texts are C strings: whatever follows a NUL is never seen.
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  // A umask drawn from the input, so that reruns reproduce it.
  mode_t mask = 022;
  for (size_t i = 0; i < size; ++i) mask = (mask * 31 + data[i]) & 0777;

  const Outcome got = parse_under_umask(text, mask);
  if (!text.empty() && text[0] >= '0' && text[0] <= '7')
    check_octal(text, got);
  else
    check_symbolic(text, mask, got);
  return 0;
}
