/* The probing floor of the boot benchmarks: what an initramfs /init has
 * to do to find its root by UUID or partition UUID as this system does,
 * and nothing more. Like floor-init.c it loads the modules of
 * /etc/quenvale_list, checks the root with /bin/e2fsck -f -y, mounts it as
 * ext4, moves it onto /, enters it and executes /etc/preinit. In between,
 * until the root of root=PARTUUID=, root=UUID=, root=/dev/NAME or
 * root=NAME is there, it walks /sys/class/block and, for each device not
 * seen before: makes its node, probes it once with libblkid for its
 * filesystem UUID (superblocks only, UUID only: the init's flags) and
 * links /dev/disk/by-uuid/UUID to it; for a partition, reads its disk's
 * partition table (once per disk) and links
 * /dev/disk/by-partuuid/PARTUUID. libblkid opens each device and reads
 * what it reads as it reads it: no prefetch, no device held open, no
 * batching.
 *
 * Static musl C, linked with the libblkid the init links; any failure
 * before the wait ends it with a message, which the kernel turns into a
 * panic. */
#define _GNU_SOURCE
#include <blkid.h>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#define LINE 1024
#define FLOOR_NAME "probe-floor-init"
#include "floor-common.h"
#define MAX_DEVICES 1024

/* The path the root will have: /dev/disk/by-partuuid/..., by-uuid/...
 * (lower case, as libblkid writes UUIDs) or /dev/NAME. */
static void root_path(char *path, size_t size) {
  char line[LINE];
  if (read_text("/proc/cmdline", line, sizeof line) != 0) fail("/proc/cmdline");
  for (char *word = strtok(line, " \n"); word; word = strtok(NULL, " \n")) {
    if (strncmp(word, "root=", 5) != 0) continue;
    const char *value = word + 5;
    if (strncmp(value, "PARTUUID=", 9) == 0) {
      snprintf(path, size, "/dev/disk/by-partuuid/%s", value + 9);
    } else if (strncmp(value, "UUID=", 5) == 0) {
      snprintf(path, size, "/dev/disk/by-uuid/%s", value + 5);
    } else {
      if (strncmp(value, "/dev/", 5) == 0) value += 5;
      snprintf(path, size, "/dev/%s", value);
      return;
    }
    for (char *c = path + strlen("/dev/disk/by-"); *c; c++) *c = tolower((unsigned char)*c);
    return;
  }
  errno = EINVAL;
  fail("no root= on the command line");
}

/* The devices seen so far, by number: each is probed once. */
static dev_t seen[MAX_DEVICES];
static size_t seen_count;
/* The disks whose partition table was read. */
static dev_t tables[MAX_DEVICES];
static size_t table_count;

static int remember(dev_t *list, size_t *count, dev_t devno) {
  for (size_t i = 0; i < *count; i++)
    if (list[i] == devno) return 0;
  if (*count == MAX_DEVICES) return 0;
  list[(*count)++] = devno;
  return 1;
}

static void link_to(const char *directory, const char *name, const char *node) {
  char link[LINE];
  if (strchr(name, '/') != NULL || name[0] == '.') return;
  snprintf(link, sizeof link, "%s/%s", directory, name);
  symlink(node, link);
}

/* The filesystem UUID of the device's node. */
static void link_uuid(const char *node) {
  blkid_probe probe = blkid_new_probe_from_filename(node);
  if (probe == NULL) return;
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  const char *uuid = NULL;
  if (blkid_do_probe(probe) == 0 &&
      blkid_probe_lookup_value(probe, "UUID", &uuid, NULL) == 0)
    link_to("/dev/disk/by-uuid", uuid, node);
  blkid_free_probe(probe);
}

/* The partition UUIDs of the disks' tables, by disk and partition number;
 * a table is read once, when the first of its partitions shows. */
struct partuuid {
  dev_t disk;
  int number;
  char uuid[40];
};
static struct partuuid partuuids[MAX_DEVICES];
static size_t partuuid_count;

/* 0 when the table could be read, even if it holds nothing. */
static int read_table(const char *disk, dev_t disk_devno) {
  blkid_probe probe = blkid_new_probe_from_filename(disk);
  if (probe == NULL) return -1;
  blkid_partlist list = blkid_probe_get_partitions(probe);
  int count = list != NULL ? blkid_partlist_numof_partitions(list) : 0;
  for (int i = 0; i < count && partuuid_count < MAX_DEVICES; i++) {
    blkid_partition partition = blkid_partlist_get_partition(list, i);
    const char *uuid = blkid_partition_get_uuid(partition);
    if (uuid == NULL) continue;
    struct partuuid *entry = &partuuids[partuuid_count++];
    entry->disk = disk_devno;
    entry->number = blkid_partition_get_partno(partition);
    snprintf(entry->uuid, sizeof entry->uuid, "%s", uuid);
  }
  blkid_free_probe(probe);
  return 0;
}

static void link_partuuid(const char *name, const char *node) {
  char path[PATH_MAX + 8], disk_dir[PATH_MAX], text[32], disk[PATH_MAX + 8];
  unsigned major_number, minor_number;
  int number;
  snprintf(path, sizeof path, "/sys/class/block/%s/partition", name);
  if (read_text(path, text, sizeof text) != 0 || sscanf(text, "%d", &number) != 1) return;
  /* The disk is the partition's parent in sysfs; its node is made here if
   * the walk has not come to it yet. */
  snprintf(path, sizeof path, "/sys/class/block/%s/..", name);
  if (realpath(path, disk_dir) == NULL) return;
  snprintf(path, sizeof path, "%s/dev", disk_dir);
  if (read_text(path, text, sizeof text) != 0 ||
      sscanf(text, "%u:%u", &major_number, &minor_number) != 2)
    return;
  dev_t disk_devno = makedev(major_number, minor_number);
  snprintf(disk, sizeof disk, "/dev/%s", strrchr(disk_dir, '/') + 1);
  if (mknod(disk, S_IFBLK | 0600, disk_devno) != 0 && errno != EEXIST) return;
  int known = 0;
  for (size_t i = 0; i < table_count; i++) known |= tables[i] == disk_devno;
  if (!known && read_table(disk, disk_devno) == 0) remember(tables, &table_count, disk_devno);
  for (size_t i = 0; i < partuuid_count; i++)
    if (partuuids[i].disk == disk_devno && partuuids[i].number == number)
      link_to("/dev/disk/by-partuuid", partuuids[i].uuid, node);
}

/* One walk of /sys/class/block: the devices not seen before. */
static void scan(void) {
  DIR *dir = opendir("/sys/class/block");
  if (dir == NULL) return;
  struct dirent *entry;
  while ((entry = readdir(dir)) != NULL) {
    char path[LINE], number[32], node[LINE];
    unsigned major_number, minor_number;
    if (entry->d_name[0] == '.') continue;
    snprintf(path, sizeof path, "/sys/class/block/%s/dev", entry->d_name);
    if (read_text(path, number, sizeof number) != 0 ||
        sscanf(number, "%u:%u", &major_number, &minor_number) != 2)
      continue;
    dev_t devno = makedev(major_number, minor_number);
    if (!remember(seen, &seen_count, devno)) continue;
    snprintf(node, sizeof node, "/dev/%s", entry->d_name);
    if (mknod(node, S_IFBLK | 0600, devno) != 0 && errno != EEXIST) continue;
    link_uuid(node);
    link_partuuid(entry->d_name, node);
  }
  closedir(dir);
}

int main(int argc, char **argv) {
  char root[LINE], node[PATH_MAX], options[LINE] = "";

  if (mount("proc", "/proc", "proc", 0, NULL) != 0) fail("mount /proc");
  if (mount("sysfs", "/sys", "sysfs", 0, NULL) != 0) fail("mount /sys");
  if (mount("tmpfs", "/dev", "tmpfs", 0, NULL) != 0) fail("mount /dev");
  /* e2fsck opens /dev/null to make sure of descriptors 0 to 2, and
   * complains when it is missing. */
  if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) fail("/dev/null");
  if (mkdir("/dev/disk", 0755) != 0 || mkdir("/dev/disk/by-uuid", 0755) != 0 ||
      mkdir("/dev/disk/by-partuuid", 0755) != 0)
    fail("/dev/disk");
  /* The same module options as quenvale-init: argv[2] on. */
  for (int i = 2; i < argc; i++) {
    strncat(options, argv[i], sizeof options - strlen(options) - 2);
    if (i + 1 < argc) strcat(options, " ");
  }
  load_modules(options);
  root_path(root, sizeof root);

  while (access(root, F_OK) != 0) scan();
  if (realpath(root, node) == NULL) fail(root);

  pid_t child = fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    execl("/bin/e2fsck", "/bin/e2fsck", "-f", "-y", node, (char *)NULL);
    _exit(8);
  }
  int status;
  if (waitpid(child, &status, 0) != child) fail("waitpid");

  if (mount(node, "/root", "ext4", 0, NULL) != 0) fail("mount root");
  umount2("/dev", MNT_DETACH);
  umount2("/proc", MNT_DETACH);
  umount2("/sys", MNT_DETACH);
  if (chdir("/root") != 0) fail("chdir /root");
  if (mount(".", "/", NULL, MS_MOVE, NULL) != 0) fail("move root");
  if (chroot(".") != 0) fail("chroot");
  if (chdir("/") != 0) fail("chdir /");
  fflush(NULL);
  execv("/etc/preinit", argv);
  fail("/etc/preinit");
  return 1;
}
