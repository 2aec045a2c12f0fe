#pragma once

// Probed block devices stay open for a while. The kernel drops a block
// device's page cache when its last opener closes it, so without an open
// descriptor every later reader (the partition pass, e2fsck, the mount)
// would fetch the sectors the probe just read from the device once more:
// on an SD card or USB stick, one command each.
//
// An open descriptor also keeps the device itself: a removed stick keeps
// its name (sda) while it is open, so the next stick plugged in would get
// another (sdb), and a partition held open stops the kernel from reading
// a changed medium's partition table. So:
// - whole disks are held until the root is mounted: the partition pass
//   reads their tables on every pass, and holding a disk stops neither a
//   medium change nor the rereading of its partitions;
// - partitions are held only until the end of the wait-loop pass that
//   probed them: e2fsck and the mount of that pass read what the probe
//   read;
// - any held device the kernel has removed is closed at the start of the
//   next scan, so that its name is free again.
//
// Devices are held while at least one HoldScope lives; the last one to end
// closes them all. A device handed over with no scope alive is closed at
// once.
class HoldScope {
 public:
  HoldScope() noexcept;
  ~HoldScope();
  HoldScope(const HoldScope&) = delete;
  HoldScope& operator=(const HoldScope&) = delete;
};

// Takes ownership of fd, an open block device; whole_disk as libblkid
// sees it.
void hold_device(int fd, bool whole_disk);

// Closes the held partitions: the end of a wait-loop pass.
void release_held_partitions();

// Closes every held device that the kernel no longer lists in sysfs.
void release_removed_devices();
