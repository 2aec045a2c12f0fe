#include "rootfs/root_device.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/handles.h"
#include "common/path_exists.h"

namespace {

constexpr const char* kLinkDirs[] = {"/dev/disk/by-uuid",
                                     "/dev/disk/by-partuuid"};

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_ascii_case(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (ascii_lower(*a) != ascii_lower(*b)) return false;
  return *a == *b;
}

// The name under one of the link directories, or null.
const char* link_name_of(const char* path, const char** dir) {
  for (const char* link_dir : kLinkDirs) {
    const size_t length = strlen(link_dir);
    if (strncmp(path, link_dir, length) == 0 && path[length] == '/' &&
        strchr(path + length + 1, '/') == nullptr) {
      *dir = link_dir;
      return path + length + 1;
    }
  }
  return nullptr;
}

}  // namespace

int find_name_ignoring_case(const char* dir, const char* name, char* found,
                            size_t found_size) {
  UniqueDir entries(opendir(dir));
  if (!entries) return -1;
  bool matched = false;
  while (struct dirent* entry = readdir(entries.get())) {
    if (!equal_ignoring_ascii_case(entry->d_name, name)) continue;
    // Two names that differ only in case are two devices (a GPT GUID and
    // a LUKS UUID typed the other way, say), and directory order says
    // nothing about which one was meant: neither is taken.
    if (matched) return -1;
    matched = true;
    const int length = snprintf(found, found_size, "%s/%s", dir, entry->d_name);
    if (length <= 0 || static_cast<size_t>(length) >= found_size) return -1;
  }
  return matched ? 0 : -1;
}

int resolve_in_link_dir(const char* dir, const char* name, char* resolved) {
  if (name[0] == '\0' || strchr(name, '/') != nullptr) return -1;
  char exact[kPathBufferSize] = {};
  const int length = snprintf(exact, sizeof exact, "%s/%s", dir, name);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof exact) return -1;
  if (realpath(exact, resolved) != nullptr) return 0;
  // A link of the exact name that does not resolve (its node not made
  // yet) is still the one meant.
  if (path_exists(exact)) return -1;
  char other[kPathBufferSize] = {};
  if (find_name_ignoring_case(dir, name, other, sizeof other) != 0) return -1;
  return realpath(other, resolved) != nullptr ? 0 : -1;
}

int resolve_root_device(const char* root_path, char* resolved) {
  const char* dir = nullptr;
  const char* name = link_name_of(root_path, &dir);
  if (name != nullptr) return resolve_in_link_dir(dir, name, resolved);
  return realpath(root_path, resolved) != nullptr ? 0 : -1;
}
