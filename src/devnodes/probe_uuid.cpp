#include "devnodes/probe_uuid.h"

#include <blkid.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "devnodes/held_devices.h"
#include "devnodes/probe_prefetch.h"

namespace {

int report_open_failure(const char* device_path) {
  fprintf(stderr, "Failed open %s:%s\n", device_path, strerror(errno));
  return -1;
}

}  // namespace

int open_probe(const char* device_path, OpenedProbe* opened) {
  // Opened here, as libblkid opens a device itself (its flags, and no
  // read-ahead beyond what is asked for), rather than by libblkid: the
  // prefetch and the hold need the descriptor.
  opened->device.reset(open(device_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!opened->device.valid()) return report_open_failure(device_path);
  posix_fadvise(opened->device.get(), 0, 0, POSIX_FADV_RANDOM);
  opened->probe.reset(blkid_new_probe());
  if (!opened->probe ||
      blkid_probe_set_device(opened->probe.get(), opened->device.get(), 0, 0) !=
          0) {
    report_open_failure(device_path);
    opened->probe.reset();
    opened->device.reset();
    return -1;
  }
  // libblkid's own idea of a whole disk, the one its RAID probes go by.
  opened->whole_disk = blkid_probe_is_wholedisk(opened->probe.get()) != 0;
  prefetch_probe_areas(opened->device.get(), opened->whole_disk);
  return 0;
}

int finish_probe(OpenedProbe* opened, char** uuid) {
  blkid_probe probe = opened->probe.get();
  // Only the UUID is looked up: no label search (FAT reads its root
  // directory for one) and no other values. Which format matches first,
  // and so which UUID, does not depend on these flags.
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  // A failed probe simply has no UUID to look up.
  blkid_do_probe(probe);

  const char* value = nullptr;
  size_t length = 0;
  int result = blkid_probe_lookup_value(probe, "UUID", &value, &length);
  if (result == 0) {
    // The copy ends with a NUL whether or not libblkid counted one.
    auto* copy = static_cast<char*>(calloc(length + 1, 1));
    if (copy != nullptr) {
      memcpy(copy, value, length);
      *uuid = copy;
    } else {
      result = -1;
    }
  }
  opened->probe.reset();
  hold_device(opened->device.release(), opened->whole_disk);
  return result;
}
