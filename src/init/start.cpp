#include "init/start.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "bootargs/cmdline.h"
#include "common/die.h"
#include "devnodes/block_devices.h"
#include "devnodes/held_devices.h"
#include "devnodes/make_node.h"
#include "init/static_nodes.h"
#include "modules/module_list.h"
#include "rootfs/enter_new_root.h"
#include "rootfs/mount_root.h"

namespace {

constexpr unsigned long kPseudoFsFlags =
    MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RELATIME;

struct PseudoMount {
  const char* target;
  const char* type;
  unsigned long flags;
};

constexpr PseudoMount kPseudoMounts[] = {
    {"/proc", "proc", kPseudoFsFlags},
    {"/sys", "sysfs", kPseudoFsFlags},
    {"/dev", "tmpfs", MS_RELATIME},
};

}  // namespace

void mount_pseudo_filesystems() {
  for (const PseudoMount& m : kPseudoMounts) {
    if (mount(nullptr, m.target, m.type, m.flags, nullptr) != 0) {
      fprintf(stderr, "mount ramdisk fs failed:%s\n", strerror(errno));
      die();
    }
  }
}

void make_static_nodes() {
  for (const StaticNodeSpec& node : kStaticNodes) {
    if (make_node(node.mode, node.path, node.type, node.major, node.minor) >= 0)
      continue;
    // The image may already carry a node, /dev/console above all.
    if (errno == EEXIST) continue;
    fprintf(stderr, "make %s failed:%s\n", node.path, strerror(errno));
    fputs("make ramdisk dev node failed\n", stderr);
    die();
  }
}

int wait_loop_pass(const BootArgs* args) {
  while (populate_block_devices() != 0) {
  }
  const int result = mount_root(args);
  // What this pass probed was held for its e2fsck and mount; a removable
  // medium is let go until the next pass, so that it can be ejected.
  release_pass_holds();
  return result;
}

void wait_for_root(const BootArgs* args) {
  // No pause and no limit: the root device may take any time to appear,
  // and without it there is nothing else to do.
  //
  // What the scans probe stays open (held_devices.h): e2fsck and the mount
  // find the sectors the probe read still cached, and so does every later
  // pass's look at the partition tables, which would otherwise read each
  // disk again on every pass.
  HoldScope hold;
  while (wait_loop_pass(args) != 0) {
  }
}

void hand_over(BootArgs** args, char** argv) {
  free_boot_args(args);
  *args = nullptr;
  umount("/dev");
  umount("/proc");
  umount("/sys");
  enter_new_root("/root", "/etc/preinit", argv);
}

int start_with_boot_args(BootArgs* args, int argc, char** argv) {
  // Module options come from the arguments after the program's name.
  char* const* module_args = argc > 0 ? argv + 1 : argv;
  if (load_module_list(module_args) != 0) {
    fputs("failed to load kmods\n", stderr);
    die();
  }
  printf("Waiting for root: %s\n", args->root_path);
  wait_for_root(args);
  hand_over(&args, argv);
  return 0;
}

int run_init(int argc, char** argv) {
  if (getpid() != 1) {
    fputs("must run PID 1\n", stderr);
    die();
  }
  mount_pseudo_filesystems();
  make_static_nodes();

  BootArgs* args = nullptr;
  if (parse_cmdline(&args) < 0) {
    fputs("cmdline format error\n", stderr);
    die();
  }
  return start_with_boot_args(args, argc, argv);
}
