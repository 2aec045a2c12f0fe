#include "devnodes/held_devices.h"

#include <stddef.h>
#include <unistd.h>

namespace {

// More devices than this in one scan are closed after their probe: they
// only lose the cache, never a node or a link.
constexpr size_t kMaxHeldDevices = 256;

int g_held[kMaxHeldDevices];
size_t g_held_count = 0;
int g_scope_depth = 0;

}  // namespace

HoldScope::HoldScope() noexcept { ++g_scope_depth; }

HoldScope::~HoldScope() {
  if (--g_scope_depth > 0) return;
  while (g_held_count > 0) close(g_held[--g_held_count]);
}

void hold_device(int fd) {
  if (g_scope_depth == 0 || g_held_count == kMaxHeldDevices) {
    close(fd);
    return;
  }
  g_held[g_held_count++] = fd;
}
