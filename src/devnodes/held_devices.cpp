#include "devnodes/held_devices.h"

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// More devices than this in one scan are closed after their probe: they
// only lose the cache, never a node or a link.
constexpr size_t kMaxHeldDevices = 256;

struct HeldDevice {
  int fd;
  dev_t device;
  bool whole_disk;
};

HeldDevice g_held[kMaxHeldDevices];
size_t g_held_count = 0;
int g_scope_depth = 0;

// Closes the held devices that match, keeping the others in order.
template <typename Predicate>
void release_if(Predicate matches) {
  size_t kept = 0;
  for (size_t i = 0; i < g_held_count; ++i) {
    if (matches(g_held[i]))
      close(g_held[i].fd);
    else
      g_held[kept++] = g_held[i];
  }
  g_held_count = kept;
}

// sysfs lists a block device under its number for as long as the kernel
// has it; a removed device leaves the list at once, even while open. Its
// number is not given to another device before the last close.
bool still_listed(dev_t device) {
  char path[64];
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(device), minor(device));
  return access(path, F_OK) == 0;
}

}  // namespace

HoldScope::HoldScope() noexcept { ++g_scope_depth; }

HoldScope::~HoldScope() {
  if (--g_scope_depth > 0) return;
  release_if([](const HeldDevice&) { return true; });
}

void hold_device(int fd, bool whole_disk) {
  struct stat info;
  if (g_scope_depth == 0 || g_held_count == kMaxHeldDevices || fstat(fd, &info) != 0) {
    close(fd);
    return;
  }
  g_held[g_held_count++] = HeldDevice{fd, info.st_rdev, whole_disk};
}

void release_held_partitions() {
  release_if([](const HeldDevice& held) { return !held.whole_disk; });
}

void release_removed_devices() {
  release_if([](const HeldDevice& held) { return !still_listed(held.device); });
}
