#pragma once

#include <stdint.h>

// Turns an octal ("0666") or symbolic ("u=rwx,g=rx,o=") mode text into the
// twelve permission bits. Returns 0 and stores the value, or -1 for a
// rejected text. Writes no message; may read (and restores) the umask.
int parse_mode(const char* text, uint32_t* mode);
