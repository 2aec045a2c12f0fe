#pragma once

#include "bootargs/boot_args.h"

// The whole start, as process 1: returns 0 only when the final hand-over
// to "/etc/preinit" came back; every fatal failure ends the process with
// status -1 instead.
int run_init(int argc, char** argv);

// Everything after the command line: modules, the wait for the root
// device and the hand-over. Takes ownership of args.
int start_with_boot_args(BootArgs* args, int argc, char** argv);

// The steps of the start, in the order run_init takes them.
void mount_pseudo_filesystems();
void make_static_nodes();
// One pass of the wait: scans until a scan succeeds, then tries the root
// mount; returns mount_root's result.
int wait_loop_pass(const BootArgs* args);
// Passes back to back until the root is mounted.
void wait_for_root(const BootArgs* args);
// Frees the record, unmounts the pseudo file systems and enters the new
// root; returns only if that hand-over returned.
void hand_over(BootArgs** args, char** argv);
