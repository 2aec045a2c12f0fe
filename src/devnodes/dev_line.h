#pragma once

#include <stdint.h>

// Reads a sysfs "dev" line ("8:1\n") into a major and a minor number: the
// first and second ':'-separated tokens, each converted in base 0 (the
// kernel writes decimal). Returns 0, or -1 when there is no second token;
// a lone newline after the colon counts as one and reads as 0.
int parse_dev_line(const char* line, uint32_t* major, uint32_t* minor);
