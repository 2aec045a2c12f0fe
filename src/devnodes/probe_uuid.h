#pragma once

#include "common/handles.h"

// A device opened for its UUID probe, with the reads the probe needs
// already under way.
struct OpenedProbe {
  UniqueFd device{-1};
  UniqueProbe probe;
  bool whole_disk = false;  // as libblkid sees it
};

// Opens the device and starts its reads. Returns 0, or -1 after "Failed
// open %s:%s" when no probe can be opened, with nothing left open.
int open_probe(const char* device_path, OpenedProbe* opened);

// Reads the file-system UUID of an opened device with libblkid, then
// hands the device to the hold (held_devices.h). Returns 0 and a malloc'd
// copy in *uuid; otherwise the lookup's non-zero result (no UUID, or no
// memory for the copy), with *uuid untouched.
int finish_probe(OpenedProbe* opened, char** uuid);
