#include "devnodes/held_devices.h"

#include <fcntl.h>
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
  bool for_one_pass;
};

HeldDevice g_held[kMaxHeldDevices];
size_t g_held_count = 0;
int g_scope_depth = 0;

void release(const HeldDevice& held) {
  // What the disk cached may be older than what e2fsck and the mount
  // wrote through its partitions since (held_devices.h). Clean pages only
  // are dropped, which is all a reader leaves; the device is read afresh
  // by whoever reads it next.
  if (held.whole_disk) posix_fadvise(held.fd, 0, 0, POSIX_FADV_DONTNEED);
  close(held.fd);
}

// Releases the held devices that match, keeping the others in order.
template <typename Predicate>
void release_if(Predicate matches) {
  size_t kept = 0;
  for (size_t i = 0; i < g_held_count; ++i) {
    if (matches(g_held[i]))
      release(g_held[i]);
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
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(device),
           minor(device));
  return access(path, F_OK) == 0;
}

// The kernel locks a removable medium in its drive while the disk or any
// of its partitions is open. "1" in sysfs; anything else, or no answer,
// counts as fixed.
bool is_removable(dev_t device) {
  char path[64];
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u/removable", major(device),
           minor(device));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char flag = '0';
  const bool removable = read(fd, &flag, 1) == 1 && flag == '1';
  close(fd);
  return removable;
}

}  // namespace

HoldScope::HoldScope() noexcept { ++g_scope_depth; }

HoldScope::~HoldScope() {
  if (--g_scope_depth > 0) return;
  release_if([](const HeldDevice&) { return true; });
}

void hold_device(int fd, bool whole_disk) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    close(fd);
    return;
  }
  const bool for_one_pass = !whole_disk || is_removable(info.st_rdev);
  const HeldDevice held{fd, info.st_rdev, whole_disk, for_one_pass};
  if (g_scope_depth == 0 || g_held_count == kMaxHeldDevices) {
    release(held);
    return;
  }
  g_held[g_held_count++] = held;
}

void release_pass_holds() {
  release_if([](const HeldDevice& held) { return held.for_one_pass; });
}

void release_removed_devices() {
  release_if([](const HeldDevice& held) { return !still_listed(held.device); });
}
