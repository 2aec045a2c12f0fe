#pragma once

// Reads the file-system UUID of a device with libblkid. Returns 0 and a
// malloc'd copy in *uuid; -1 after "Failed open %s:%s" when no probe can
// be opened; otherwise the lookup's non-zero result (no UUID, or no memory
// for the copy), with *uuid untouched.
int probe_uuid(const char* device_path, char** uuid);
