#include "devnodes/probe_uuid.h"

#include <blkid.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/handles.h"
#include "devnodes/held_devices.h"
#include "devnodes/probe_prefetch.h"

namespace {

int report_open_failure(const char* device_path) {
  fprintf(stderr, "Failed open %s:%s\n", device_path, strerror(errno));
  return -1;
}

int probe_open_device(const char* device_path, int fd, char** uuid) {
  UniqueProbe probe(blkid_new_probe());
  if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0)
    return report_open_failure(device_path);
  // libblkid's own idea of a whole disk, the one its RAID probes go by.
  prefetch_probe_areas(fd, blkid_probe_is_wholedisk(probe.get()) != 0);
  // Only the UUID is looked up: no label search (FAT reads its root
  // directory for one) and no other values. Which format matches first,
  // and so which UUID, does not depend on these flags.
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_UUID);
  // A failed probe simply has no UUID to look up.
  blkid_do_probe(probe.get());

  const char* value = nullptr;
  size_t length = 0;
  const int result =
      blkid_probe_lookup_value(probe.get(), "UUID", &value, &length);
  if (result != 0) return result;

  // The copy ends with a NUL whether or not libblkid counted one.
  auto* copy = static_cast<char*>(calloc(length + 1, 1));
  if (copy == nullptr) return -1;
  memcpy(copy, value, length);
  *uuid = copy;
  return 0;
}

}  // namespace

int probe_uuid(const char* device_path, char** uuid) {
  // Opened here, with libblkid's own flags, rather than by libblkid: the
  // prefetch and the hold need the descriptor.
  UniqueFd device(open(device_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!device.valid()) return report_open_failure(device_path);
  const int result = probe_open_device(device_path, device.get(), uuid);
  hold_device(device.release());
  return result;
}
