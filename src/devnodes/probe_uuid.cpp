#include "devnodes/probe_uuid.h"

#include <blkid.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/handles.h"

int probe_uuid(const char* device_path, char** uuid) {
  UniqueProbe probe(blkid_new_probe_from_filename(device_path));
  if (!probe) {
    fprintf(stderr, "Failed open %s:%s\n", device_path, strerror(errno));
    return -1;
  }
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
