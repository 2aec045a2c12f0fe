#pragma once

#include <cstdint>

// Reads a sysfs "dev" line ("8:1\n") into a major and a minor number.
// Each number is converted in base 0, as the kernel never writes anything
// but decimal. Returns 0, or -1 when the line has no minor number.
int parse_dev_line(const char* line, uint32_t* major, uint32_t* minor);
