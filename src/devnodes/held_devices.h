#pragma once

// Probed block devices stay open for a while. The kernel drops a block
// device's page cache when its last opener closes it, so without an open
// descriptor every later reader (the partition pass, e2fsck, the mount)
// would fetch the sectors the probe just read from the device once more:
// on an SD card or USB stick, one command each.
//
// An open descriptor also keeps the device itself: a removed stick keeps
// its name (sda) while it is open, so the next stick plugged in would get
// another (sdb); a partition held open stops the kernel from reading a
// changed medium's partition table; and a removable medium stays locked in
// its drive, refusing an eject. So:
// - fixed whole disks are held until the root is mounted: the partition
//   pass reads their tables on every pass, and holding a disk stops
//   neither a medium change nor the rereading of its partitions;
// - partitions, and whole disks whose medium can be taken out (sysfs
//   "removable"), are held only until the end of the wait-loop pass that
//   probed them: e2fsck and the mount of that pass read what the probe
//   read, and between passes the medium can be ejected;
// - any held device the kernel has removed is closed at the start of the
//   next scan, so that its name is free again.
//
// A whole disk's cached pages are dropped before it is let go: a mounted
// partition keeps its disk open, so the disk's last close, which would
// drop them, is long after e2fsck and the mount have written through the
// partition, and the disk would go on serving what the probe read before.
//
// Devices are held while at least one HoldScope lives; the last one to end
// releases them all. A device handed over with no scope alive is released
// at once.
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

// Releases what is held for one pass only: partitions and removable
// disks. The end of a wait-loop pass.
void release_pass_holds();

// Releases every held device that the kernel no longer lists in sysfs.
void release_removed_devices();
