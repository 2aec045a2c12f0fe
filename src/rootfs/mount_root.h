#pragma once

#include "bootargs/boot_args.h"

// One attempt to mount the root device at "/root", trying each type of
// the list in order and running "/bin/e2fsck -f -y" before every ext4
// attempt. Returns 0 when mounted, -1 when the device path does not
// resolve yet or no type mounted. Ends the program when the checker
// cannot be started.
int mount_root(const BootArgs* args);

// Runs "/bin/e2fsck -f -y <device>" and waits for it; its verdict is not
// looked at, the mount decides.
void check_filesystem(const char* device);
