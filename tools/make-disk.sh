#!/usr/bin/env bash
# Writes a GPT disk image whose first partition is an ext4 root file system
# for the boot tests, without root rights, mounts or loop devices: the file
# system is made from a directory with mkfs.ext4 -d into its own image file
# and copied into the partition's place.
#
# Usage: tools/make-disk.sh OUTPUT BUSYBOX [--no-preinit | --preinit FILE]
#                     [--char-node PATH:MAJOR:MINOR]... [--size MIB]
#   BUSYBOX is a static busybox for the guest's architecture; FILE replaces
#   tools/preinit.sh; each --char-node adds a character device node
#   (mode 0600), made with debugfs since only root could mknod it in the
#   source tree. MIB is the whole disk's size (default: just what the
#   partition needs, 26): an emulated SD card must be a power of two, and
#   the backup GPT then sits at the real end of the larger disk.
#
# The identifiers are fixed (tools/lib/disk-ids.sh), so the kernel command lines can name
# them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/disk-ids.sh
. "$root/tools/lib/disk-ids.sh"

# 1 MiB before the partition (the GPT and alignment), 1 MiB after it for
# the backup GPT.
PART_START_SECTORS=2048
FS_MIB=24

usage() {
  echo "usage: $0 OUTPUT BUSYBOX [--no-preinit | --preinit FILE] [--char-node PATH:MAJOR:MINOR]... [--size MIB]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
output=$1
busybox=$2
shift 2
preinit=$root/tools/preinit.sh
char_nodes=()
disk_mib=
while [ $# -gt 0 ]; do
  case $1 in
    --no-preinit) preinit= ;;
    --preinit) [ $# -ge 2 ] || usage; preinit=$2; shift ;;
    --char-node)
      [ $# -ge 2 ] || usage
      [[ $2 =~ ^/[^:[:space:]]+:[0-9]+:[0-9]+$ ]] || usage
      char_nodes+=("$2"); shift ;;
    --size)
      [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage
      disk_mib=$2; shift ;;
    *) usage ;;
  esac
  shift
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quenvale-disk.XXXXXX")
trap 'rm -rf "$work"' EXIT

tree=$work/tree
mkdir -p "$tree/bin" "$tree/etc" "$tree/proc" "$tree/sys" "$tree/dev"
install -m 0755 "$busybox" "$tree/bin/busybox"
if [ -n "$preinit" ]; then
  install -m 0755 "$preinit" "$tree/etc/preinit"
fi

# Fixed superblock times and directory hash seed; the tests need only the
# fixed UUIDs, inode times still follow the files.
export E2FSPROGS_FAKE_TIME=1700000000
truncate -s "${FS_MIB}M" "$work/fs.img"
mkfs.ext4 -q -F -L quenvale-root -U "$FS_UUID" \
  -E root_owner=0:0,hash_seed=$FS_UUID -d "$tree" "$work/fs.img"
for node in "${char_nodes[@]}"; do
  IFS=: read -r path major minor <<<"$node"
  # debugfs's mknod takes one name in its current directory, and leaves
  # the permission bits of the node empty.
  printf 'cd %s\nmknod %s c %s %s\nsif %s mode 020600\n' "$(dirname "$path")" \
    "$(basename "$path")" "$major" "$minor" "$(basename "$path")" |
    debugfs -w -f - "$work/fs.img" >/dev/null 2>&1
  debugfs -R "stat $path" "$work/fs.img" 2>/dev/null |
    grep -q "Type: character special" ||
    { echo "could not make $path in the root file system" >&2; exit 1; }
done

part_sectors=$((FS_MIB * 2048))
total_sectors=$((PART_START_SECTORS + part_sectors + 2048))
if [ -n "$disk_mib" ]; then
  [ $((disk_mib * 2048)) -ge $total_sectors ] ||
    { echo "a disk of $disk_mib MiB cannot hold the $FS_MIB MiB partition" >&2; exit 2; }
  total_sectors=$((disk_mib * 2048))
fi
rm -f "$work/disk.img"
truncate -s $((total_sectors * 512)) "$work/disk.img"
sfdisk -q --no-reread --no-tell-kernel "$work/disk.img" <<EOF
label: gpt
label-id: $DISK_UUID
first-lba: $PART_START_SECTORS
start=$PART_START_SECTORS, size=$part_sectors, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=$PART_UUID, name=quenvale-root
EOF
dd if="$work/fs.img" of="$work/disk.img" bs=1M seek=$((PART_START_SECTORS / 2048)) \
   conv=notrunc,sparse status=none
mv "$work/disk.img" "$output"
