#include "devnodes/block_devices.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <stdint.h>

#include "common/handles.h"
#include "devnodes/dev_line.h"
#include "devnodes/held_devices.h"
#include "devnodes/link_name.h"
#include "devnodes/make_node.h"
#include "devnodes/partuuid_links.h"
#include "devnodes/probe_uuid.h"

namespace {

constexpr size_t kDevLineSize = 32;

int make_link_dir(const char* path) {
  if (mkdir(path, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "create %s directory failed:%s\n", path, strerror(errno));
    return -1;
  }
  return 0;
}

// Reads "/sys/class/block/<name>/dev"; false when it is not (yet) there.
bool read_device_number(const char* name, uint32_t* major, uint32_t* minor) {
  char sys_path[kPathBufferSize] = {};
  snprintf(sys_path, kLineLimit, "/sys/class/block/%s/dev", name);
  UniqueFile file(fopen(sys_path, "r"));
  if (!file) return false;
  char line[kDevLineSize] = {};
  if (fgets(line, kDevLineSize - 1, file.get()) == nullptr) return false;
  return parse_dev_line(line, major, minor) == 0;
}

// A block node whose number is not the one the kernel now gives its name
// names a device that is gone: partitions added again after a medium
// change, or a disk removed and another given its name, may get other
// numbers (partitions numbered past a disk's own minors always do), and
// the old node would fail with ENXIO on every pass. Removes it, so that
// the name is noded anew; false, and the node kept, when it names that
// device or cannot be removed.
bool remove_stale_node(const struct stat& node, const char* node_path,
                       uint32_t major, uint32_t minor) {
  if (node.st_rdev == makedev(major, minor)) return false;
  return unlink(node_path) == 0;
}

// Devices noded by this scan whose probes have not run yet. Each is opened
// as soon as its node is made, which starts its reads; the probes run
// after, in the same order, so that the device serves all the reads of a
// disk and its partitions while the first of them is being probed. The
// links, and which device wins a UUID, are those of probing each device
// right after its node.
constexpr size_t kProbeBatch = 8;

// A device that could not be opened holds no descriptor, and gets no link.
struct PendingLink {
  char node_path[kPathBufferSize];
  OpenedProbe probe;
};

struct PendingLinks {
  PendingLink links[kProbeBatch];
  size_t count;
};

// A UUID link is tried only for the node just made: a device whose probe
// fails now keeps its node and gets no link from later scans.
void link_fs_uuid(PendingLink* pending) {
  if (!pending->probe.device.valid()) return;
  char* raw_uuid = nullptr;
  if (finish_probe(&pending->probe, &raw_uuid) != 0) return;
  UniqueCString uuid(raw_uuid);
  if (!uuid || !is_safe_link_name(uuid.get())) return;

  char link_path[kPathBufferSize] = {};
  snprintf(link_path, kLineLimit, "/dev/disk/by-uuid/%s", uuid.get());
  // An existing link of that name wins: the first device noded keeps it.
  symlink(pending->node_path, link_path);
}

void link_pending(PendingLinks* pending) {
  for (size_t i = 0; i < pending->count; ++i) link_fs_uuid(&pending->links[i]);
  pending->count = 0;
}

void add_pending(PendingLinks* pending, const char* node_path) {
  if (pending->count == kProbeBatch) link_pending(pending);
  PendingLink& link = pending->links[pending->count++];
  snprintf(link.node_path, sizeof link.node_path, "%s", node_path);
  // "Failed open" is reported now, right after the node, as before.
  open_probe(node_path, &link.probe);
}

// Nodes every new device of /sys/class/block; returns make_node's
// negative result at the first node that cannot be made, after linking
// the devices noded before it.
int node_block_devices(DIR* class_dir) {
  PendingLinks pending = {};
  while (struct dirent* entry = readdir(class_dir)) {
    if (entry->d_type != DT_LNK) continue;

    char node_path[kPathBufferSize] = {};
    snprintf(node_path, kLineLimit, "/dev/%s", entry->d_name);
    struct stat existing;
    const bool exists = lstat(node_path, &existing) == 0;
    if (exists && !S_ISBLK(existing.st_mode)) continue;

    uint32_t major = 0;
    uint32_t minor = 0;
    if (!read_device_number(entry->d_name, &major, &minor)) continue;
    if (exists && !remove_stale_node(existing, node_path, major, minor))
      continue;

    const int result = make_node("0755", node_path, 'b', major, minor);
    if (result < 0) {
      link_pending(&pending);
      return result;
    }
    add_pending(&pending, node_path);
  }
  link_pending(&pending);
  return 0;
}

}  // namespace

int populate_block_devices() {
  // The new devices stay open for the partition pass at least: it reads
  // their disks' partition tables, which the probes have just read.
  HoldScope hold;
  // A device the kernel removed since the last scan must not keep its name
  // from the next one to come.
  release_removed_devices();
  UniqueDir class_dir(opendir("/sys/class/block"));
  if (!class_dir) {
    // Without sysfs there is nothing to scan; the wait loop tries again.
    // Silent, as that loop runs without pause.
    return -1;
  }
  if (make_link_dir("/dev/disk") != 0) return -1;
  if (make_link_dir("/dev/disk/by-uuid") != 0) return -1;

  const int result = node_block_devices(class_dir.get());
  if (result < 0) return result;
  class_dir.reset();

  link_partition_uuids();
  return 0;
}
