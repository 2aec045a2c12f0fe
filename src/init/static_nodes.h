#pragma once

#include <stdint.h>

// One built-in character device node, made before anything else runs.
struct StaticNodeSpec {
  const char* mode;
  const char* path;
  int8_t type;
  uint8_t major;
  uint8_t minor;
};

// Console is writable by all but readable only by its owner.
constexpr StaticNodeSpec kStaticNodes[] = {
    {"0666", "/dev/tty", 'c', 5, 0},
    {"0622", "/dev/console", 'c', 5, 1},
    {"0666", "/dev/null", 'c', 1, 3},
    {"0666", "/dev/zero", 'c', 1, 5},
};
