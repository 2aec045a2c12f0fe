#pragma once

// One scan of sysfs: makes a "/dev/<name>" block node for every device of
// /sys/class/block that has none yet (or whose node names another device
// number than the kernel now gives that name), a /dev/disk/by-uuid link
// for each new node whose file system has a UUID, and a /dev/disk/by-partuuid
// link for every partition whose disk's partition table gives it a UUID.
// Returns 0 when the scan ran; -1 (after a message) when /sys/class/block
// cannot be opened or a /dev/disk directory cannot be made; or the
// negative result of make_node, leaving the rest for the next call.
int populate_block_devices();
