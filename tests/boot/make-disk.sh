#!/usr/bin/env bash
# Writes a GPT disk image whose first partition is an ext4 root file system
# for the boot tests, without root rights, mounts or loop devices: the file
# system is made from a directory with mkfs.ext4 -d into its own image file
# and copied into the partition's place.
#
# Usage: make-disk.sh OUTPUT BUSYBOX [--no-preinit]
#   BUSYBOX is a static busybox for the guest's architecture.
#
# The identifiers are fixed (ids.sh), so the kernel command lines can name
# them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ids.sh"

# 1 MiB before the partition (the GPT and alignment), 1 MiB after it for
# the backup GPT.
PART_START_SECTORS=2048
FS_MIB=24

usage() { echo "usage: $0 OUTPUT BUSYBOX [--no-preinit]" >&2; exit 2; }
[ $# -ge 2 ] || usage
output=$1
busybox=$2
with_preinit=yes
[ "${3:-}" = --no-preinit ] && with_preinit=no

work=$(mktemp -d "${TMPDIR:-/tmp}/quenvale-disk.XXXXXX")
trap 'rm -rf "$work"' EXIT

tree=$work/tree
mkdir -p "$tree/bin" "$tree/etc" "$tree/proc" "$tree/sys" "$tree/dev"
install -m 0755 "$busybox" "$tree/bin/busybox"
if [ "$with_preinit" = yes ]; then
  install -m 0755 "$here/preinit.sh" "$tree/etc/preinit"
fi

# Fixed superblock times and directory hash seed; the tests need only the
# fixed UUIDs, inode times still follow the files.
export E2FSPROGS_FAKE_TIME=1700000000
truncate -s "${FS_MIB}M" "$work/fs.img"
mkfs.ext4 -q -F -L quenvale-root -U "$FS_UUID" \
  -E root_owner=0:0,hash_seed=$FS_UUID -d "$tree" "$work/fs.img"

part_sectors=$((FS_MIB * 2048))
total_sectors=$((PART_START_SECTORS + part_sectors + 2048))
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
