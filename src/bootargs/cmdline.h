#pragma once

#include "bootargs/boot_args.h"

// Reads "/proc/cmdline" into a new record stored through handle.
// Returns 0, or -1 after writing the reason to standard error, with
// *handle untouched.
int parse_cmdline(BootArgs** handle);

// The same for another file holding a command line.
int parse_cmdline_file(const char* path, BootArgs** handle);

// The same for a line already read; the line is cut in place.
int parse_cmdline_line(char* line, BootArgs** handle);
