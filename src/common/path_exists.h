#pragma once

#include <sys/stat.h>

// "Anything there", a dangling link included.
inline bool path_exists(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0;
}
