#pragma once

#include <stdint.h>

// Type bits for a node type letter: b, c, f and l name a file type, every
// other letter gives kInvalidNodeType.
constexpr uint32_t kInvalidNodeType = 0xFFFFFFFFu;
uint32_t node_type_bits(char type);

// Creates a node from a mode text, a type letter and a device number.
// Returns 0, -1 after "mode failed" for a rejected mode text, or the
// negated mknod error with errno still set. Leaves the umask at 0 once the
// mode text is accepted, so every later file gets exactly the mode asked.
int make_node(const char* mode_text, const char* path, char type,
              uint32_t major, uint32_t minor);
