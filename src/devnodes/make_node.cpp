#include "devnodes/make_node.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "devnodes/mode_text.h"

namespace {

// Indexed by letter minus 'b'.
constexpr uint32_t kNodeTypes[] = {
    S_IFBLK,           // b
    S_IFCHR,           // c
    kInvalidNodeType,  // d
    kInvalidNodeType,  // e
    S_IFIFO,           // f
    kInvalidNodeType,  // g
    kInvalidNodeType,  // h
    kInvalidNodeType,  // i
    kInvalidNodeType,  // j
    kInvalidNodeType,  // k
    S_IFLNK,           // l
};
constexpr unsigned kNodeTypeCount = sizeof(kNodeTypes) / sizeof(kNodeTypes[0]);

}  // namespace

uint32_t node_type_bits(char type) {
  const unsigned char index = static_cast<unsigned char>(type - 'b');
  return index < kNodeTypeCount ? kNodeTypes[index] : kInvalidNodeType;
}

int make_node(const char* mode_text, const char* path, char type,
              uint32_t major, uint32_t minor) {
  uint32_t mode = 0;
  if (parse_mode(mode_text, &mode) != 0) {
    fputs("mode failed\n", stderr);
    return -1;
  }
  umask(0);
  const mode_t node_mode = mode | node_type_bits(type);
  if (mknod(path, node_mode, makedev(major, minor)) != 0) return -errno;
  return 0;
}
