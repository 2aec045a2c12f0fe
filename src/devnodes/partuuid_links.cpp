#include "devnodes/partuuid_links.h"

#include <blkid.h>
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/handles.h"
#include "common/path_exists.h"
#include "devnodes/link_name.h"

namespace {

// Exact-size heap paths; null when they cannot be allocated.
template <typename... Parts>
UniqueCString format_path(const char* format, Parts... parts) {
  char* path = nullptr;
  if (asprintf(&path, format, parts...) < 0) return UniqueCString();
  return UniqueCString(path);
}

// A disk's partition table, read once per pass for all its partitions.
struct DiskTable {
  bool read = false;
  dev_t devno = 0;
  UniqueProbe probe;
  blkid_partlist partitions = nullptr;  // owned by probe
};

// The table of the disk with that device number: the one already read
// when it is the same disk, else read now. Null when it cannot be read.
blkid_partlist partition_table(dev_t disk_devno, DiskTable* table) {
  if (table->read && table->devno == disk_devno) return table->partitions;
  table->partitions = nullptr;
  table->probe.reset();
  table->read = true;
  table->devno = disk_devno;
  UniqueCString disk_path(blkid_devno_to_devname(disk_devno));
  if (!disk_path) return nullptr;
  table->partitions = read_partition_table(disk_path.get(), &table->probe);
  return table->partitions;
}

// Links a partition node under its partition UUID, which only the whole
// disk's partition table knows. Each step that yields nothing ends quietly.
void link_partition(const char* node_path, DiskTable* table) {
  dev_t devno = 0;
  dev_t disk_devno = 0;
  {
    UniqueProbe probe(blkid_new_probe_from_filename(node_path));
    if (!probe) return;
    devno = blkid_probe_get_devno(probe.get());
    if (devno == 0) return;
    disk_devno = blkid_probe_get_wholedisk_devno(probe.get());
    if (disk_devno == 0) return;
  }
  blkid_partlist partitions = partition_table(disk_devno, table);
  if (partitions == nullptr) return;
  blkid_partition partition =
      blkid_partlist_devno_to_partition(partitions, devno);
  if (partition == nullptr) return;
  const char* uuid = blkid_partition_get_uuid(partition);
  if (uuid == nullptr || !is_safe_link_name(uuid)) return;

  char link_path[kPathBufferSize] = {};
  snprintf(link_path, kLineLimit, "/dev/disk/by-partuuid/%s", uuid);
  // Existing links are never replaced, and a partition is linked only once
  // its node is there.
  if (path_exists(link_path) || !path_exists(node_path)) return;
  symlink(node_path, link_path);
}

void link_disk_partitions(const char* disk) {
  UniqueDir disk_dir;
  {
    UniqueCString disk_dir_path = format_path("/sys/block/%s", disk);
    if (!disk_dir_path) return;
    disk_dir.reset(opendir(disk_dir_path.get()));
  }
  if (!disk_dir) return;

  DiskTable table;
  while (struct dirent* entry = readdir(disk_dir.get())) {
    // Most entries are attribute files, which cannot hold a "dev" file;
    // skipping them saves a failing lookup each on every pass of the wait.
    if (entry->d_type == DT_REG) continue;
    UniqueCString dev_file =
        format_path("/sys/block/%s/%s/dev", disk, entry->d_name);
    if (!dev_file || access(dev_file.get(), F_OK) != 0) continue;
    UniqueCString node_path = format_path("/dev/%s", entry->d_name);
    if (!node_path) continue;
    link_partition(node_path.get(), &table);
  }
}

}  // namespace

blkid_partlist read_partition_table(const char* disk_path, UniqueProbe* probe) {
  probe->reset(blkid_new_probe_from_filename(disk_path));
  if (!*probe) return nullptr;
  return blkid_probe_get_partitions(probe->get());
}

void link_partition_uuids() {
  mkdir("/dev/disk/by-partuuid", 0755);

  UniqueDir block_dir(opendir("/sys/block"));
  if (!block_dir) return;
  while (struct dirent* entry = readdir(block_dir.get())) {
    if (entry->d_type != DT_LNK) continue;
    link_disk_partitions(entry->d_name);
  }
}
