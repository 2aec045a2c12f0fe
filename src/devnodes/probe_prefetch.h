#pragma once

// Starts reading, in the background and in as few requests as the device
// takes, the areas of a block device that a full libblkid superblock probe
// reads piecemeal: its first 260 KiB, its last 496 KiB on a whole disk or
// 132 KiB on a partition (512 KiB at each end from 64 MiB on), and the
// single pages it looks at in between. The probe's many small reads then
// wait for pages already on their way instead of each sending one command
// to the device. Nothing here fails: without it the probe only reads more
// slowly.
void prefetch_probe_areas(int fd, bool whole_disk);
