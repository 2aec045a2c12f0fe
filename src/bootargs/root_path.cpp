#include "bootargs/root_path.h"

#include <stdio.h>
#include <string.h>

namespace {

// The third '='-separated piece of text (runs of '=' count as one, a
// leading '=' is skipped): for "root=PARTUUID=v" that is v, up to the next
// '=' or the end. Returns its length, 0 when there is none.
size_t third_piece(const char* text, const char** piece) {
  const char* p = text;
  for (int index = 0;; ++index) {
    p += strspn(p, "=");
    if (*p == '\0') return 0;
    const size_t length = strcspn(p, "=");
    if (index == 2) {
      *piece = p;
      return length;
    }
    p += length;
  }
}

int build_uuid_path(const char* root_arg, const char* link_dir,
                    UniqueCString* root_path) {
  const char* value = nullptr;
  const size_t length = third_piece(root_arg, &value);
  if (length == 0) {
    fputs("root args error\n", stderr);
    return -1;
  }
  char* path = nullptr;
  if (asprintf(&path, "%s/%.*s", link_dir, static_cast<int>(length), value) <
      0) {
    fputs("alloc root path failed\n", stderr);
    return -1;
  }
  root_path->reset(path);
  return 0;
}

}  // namespace

int build_root_path(const char* root_arg, UniqueCString* root_path) {
  // PARTUUID= first: every argument holding it also holds UUID=.
  if (strstr(root_arg, "PARTUUID=") != nullptr)
    return build_uuid_path(root_arg, "/dev/disk/by-partuuid", root_path);
  if (strstr(root_arg, "UUID=") != nullptr)
    return build_uuid_path(root_arg, "/dev/disk/by-uuid", root_path);

  const char* equals = strchr(root_arg, '=');
  const char* value = equals ? equals + 1 : root_arg;
  char* path = nullptr;
  int printed = strstr(root_arg, "/dev/") != nullptr
                    ? asprintf(&path, "%s", value)
                    : asprintf(&path, "/dev/%s", value);
  if (printed < 0) {
    fputs("alloc root path failed\n", stderr);
    return -1;
  }
  root_path->reset(path);
  return 0;
}
