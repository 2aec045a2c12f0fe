#pragma once

// Probed block devices stay open for a while. The kernel drops a block
// device's page cache when its last opener closes it, so without an open
// descriptor every later reader (the partition pass, e2fsck, the mount)
// would fetch the sectors the probe just read from the device once more:
// on an SD card or USB stick, one command each.
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

// Takes ownership of fd.
void hold_device(int fd);
