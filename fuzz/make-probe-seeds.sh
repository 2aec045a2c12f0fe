#!/usr/bin/env bash
# Makes the seed corpus of fuzz_probe from real signatures: file systems
# made by their own mkfs tools on sparse files, partition tables written by
# sfdisk, and the headers no tool here writes without the kernel (LUKS1 and
# LUKS2, md RAID 0.90 and 1.2, an LVM2 label), laid out by hand after their
# formats. Each image becomes a fuzz input in fuzz_probe's sparse format:
# its size, then its non-zero sectors within the first and last MiB.
#
# Usage: fuzz/make-probe-seeds.sh [OUTDIR]   (default fuzz/corpus/fuzz_probe)
# Installs the mkfs tools it needs; touches no block device and no kernel
# module: everything is made on regular files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/packages.sh
. "$root/tools/lib/packages.sh"
out=${1:-$root/fuzz/corpus/fuzz_probe}
tools=(e2fsprogs dosfstools exfatprogs ntfs-3g xfsprogs btrfs-progs xorriso
       squashfs-tools fdisk util-linux python3)
qv_install "${tools[@]}"

work=$(mktemp -d /tmp/quenvale-seeds.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# image NAME SIZE: a sparse file to format.
image() { rm -f "$work/$1"; truncate -s "$2" "$work/$1"; echo "$work/$1"; }

# put FILE OFFSET PRINTF-TEXT: bytes at an offset.
put() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

mkfs.ext2 -q -F -U 11111111-2222-4333-8444-555555555555 "$(image ext2 8M)"
mkfs.ext3 -q -F -L ext3label "$(image ext3 16M)"
mkfs.ext4 -q -F -O metadata_csum,64bit "$(image ext4 32M)"
mkfs.vfat -F 12 -i 1234ABCD "$(image fat12 2M)" >/dev/null
mkfs.vfat -F 16 -n FATLABEL "$(image fat16 32M)" >/dev/null
mkfs.vfat -F 32 "$(image fat32 64M)" >/dev/null
mkfs.exfat -L exfat "$(image exfat 16M)" >/dev/null
mkntfs -q -F -f -L ntfs "$(image ntfs 16M)" >/dev/null 2>&1
mkfs.xfs -q -f "$(image xfs 320M)"
mkfs.btrfs -q -f -L btrfs "$(image btrfs 128M)" >/dev/null
mkswap -L swap "$(image swap 4M)" >/dev/null 2>&1
mkdir -p "$work/tree"; echo hello >"$work/tree/file"
xorriso -as mkisofs -quiet -V ISOLABEL -o "$work/iso9660" "$work/tree" 2>/dev/null
mksquashfs "$work/tree" "$work/squashfs" -quiet -no-progress >/dev/null

# Partition tables, with odd entries: an extended partition with logical
# ones, an empty slot, overlapping entries, a GPT with many small entries
# and one past the end of the disk.
sfdisk -q "$(image dos 64M)" >/dev/null <<'EOF'
label: dos
label-id: 0x0a1b2c3d
start=2048, size=8192, type=83
start=10240, size=16384, type=5
start=12288, size=2048, type=83
start=16384, size=2048, type=82
,,
EOF
sfdisk -q "$(image gpt 64M)" >/dev/null <<'EOF'
label: gpt
label-id: 5F2C6A1E-7D3B-4C8E-9A10-00000000D15C
first-lba: 34
start=2048, size=2048, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=5F2C6A1E-7D3B-4C8E-9A10-000000000001, name="root"
start=4096, size=2048, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B
start=6144, size=100000, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4
EOF
sfdisk -q "$(image hybrid 16M)" >/dev/null <<'EOF'
label: gpt
start=2048, size=4096, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4
EOF
# A protective MBR that also lists the partition (a hybrid MBR).
put "$work/hybrid" 462 '\000\000\000\000\203\000\000\000\000\010\000\000\000\020\000\000'
# The GPT disk's backup header names more entries than it holds.
gpt_last=$(( $(stat -c %s "$work/gpt") - 512 ))
put "$work/gpt" $((gpt_last + 80)) '\377\377\000\000'

# LUKS1: the header's magic, version, cipher, mode, hash, payload offset,
# key bytes and UUID (the format's published layout).
luks1=$(image luks1 4M)
put "$luks1" 0 'LUKS\272\276\000\001'
put "$luks1" 8 'aes'
put "$luks1" 40 'xts-plain64'
put "$luks1" 72 'sha256'
put "$luks1" 104 '\000\000\020\000'
put "$luks1" 108 '\000\000\000\100'
put "$luks1" 168 '8f2ad9c2-1f7b-4c3e-9d5a-3c0e5f6a7b8c'
# LUKS2: binary header at 0 and its secondary copy at 16 KiB, each with
# magic, version, header size, label and UUID, and a JSON area.
luks2=$(image luks2 16M)
for base in 0 16384; do
  if [ "$base" = 0 ]; then magic='LUKS\272\276'; else magic='SKUL\272\276'; fi
  put "$luks2" "$base" "$magic"'\000\002'
  put "$luks2" $((base + 8)) '\000\000\000\000\000\000\100\000'
  put "$luks2" $((base + 24)) 'luks2label'
  put "$luks2" $((base + 72)) 'sha256'
  put "$luks2" $((base + 168)) '0c8b5d2e-4a1f-4e6b-9c3d-7f8e9a0b1c2d'
  put "$luks2" $((base + 4096)) '{"keyslots":{},"tokens":{},"segments":{},"digests":{},"config":{"json_size":"12288","keyslots_size":"0"}}'
done
# md RAID 1.2: the superblock 4 KiB into the device (magic, major version
# 1, set UUID and name, level 1, two devices, its own offset, two device
# roles) with its checksum: 32-bit words summed and the carry folded in.
python3 - "$(image md12 16M)" <<'PY'
import struct, sys
sb = bytearray(256 + 2 * 2)
struct.pack_into("<IIII", sb, 0, 0xA92B4EFC, 1, 0, 0)
sb[16:32] = bytes(range(0x10, 0x20))
sb[32:42] = b"quenvale:0"
struct.pack_into("<iI", sb, 72, 1, 0)
struct.pack_into("<QI", sb, 80, 32768 - 2048, 0)
struct.pack_into("<I", sb, 92, 2)
struct.pack_into("<QQQ", sb, 128, 2048, 32768 - 2048, 8)
struct.pack_into("<I", sb, 220, 2)
struct.pack_into("<HH", sb, 256, 0, 1)
total = sum(struct.unpack_from("<%dI" % (len(sb) // 4), sb))
struct.pack_into("<I", sb, 216, (total & 0xFFFFFFFF) + (total >> 32) & 0xFFFFFFFF)
with open(sys.argv[1], "r+b") as f:
    f.seek(4096)
    f.write(sb)
PY
# md RAID 0.90: the superblock in the last 64 KiB-aligned 64 KiB block
# (magic, version 0.90.0, set UUID words, level 1).
md090=$(image md090 16M)
sb=$(( ($(stat -c %s "$md090") & ~65535) - 65536 ))
put "$md090" "$sb" '\374\116\053\251\000\000\000\000\132\000\000\000\000\000\000\000'
put "$md090" $((sb + 20)) '\001\002\003\004'
put "$md090" $((sb + 28)) '\001\000\000\000'
put "$md090" $((sb + 52)) '\005\006\007\010\011\012\013\014\015\016\017\020'
# An LVM2 physical volume label in sector 1: "LABELONE", its sector, its
# checksum (LVM's CRC-32 from the offset field to the sector's end, started
# at 0xf597a6cf, without the final inversion), the offset of the PV header
# and the label type "LVM2 001"; the PV header holds the PV UUID.
python3 - "$(image lvm2 16M)" <<'PY'
import struct, sys, zlib
label = bytearray(512)
label[0:8] = b"LABELONE"
struct.pack_into("<Q", label, 8, 1)
struct.pack_into("<I", label, 20, 32)
label[24:32] = b"LVM2 001"
label[32:64] = b"Ab3dEf6hIj9kLm2nOp5qRs8tUv1wXy4z"
struct.pack_into("<Q", label, 64, 16 << 20)
crc = zlib.crc32(bytes(label[20:]), 0xF597A6CF ^ 0xFFFFFFFF) ^ 0xFFFFFFFF
struct.pack_into("<I", label, 16, crc)
with open(sys.argv[1], "r+b") as f:
    f.seek(512)
    f.write(label)
PY

# Each image as a fuzz input: size, then chunks of its non-zero sectors
# in the first and last MiB, at most 128 KiB in all.
for file in "$work"/*; do
  [ -f "$file" ] || continue
  python3 - "$file" "$out/$(basename "$file")" <<'EOF'
import struct, sys
path, dest = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
size = len(data)
sector, window, budget = 512, 1 << 20, 128 << 10
areas = [(0, min(size, window)), (max(window, size - window), size)]
chunks, used = [], 0
for start, end in areas:
    pos = start
    while pos < end and used < budget:
        if not any(data[pos:pos + sector]):
            pos += sector
            continue
        run = pos
        while run < end and any(data[run:run + sector]) and run - pos < 60 * 1024:
            run += sector
        piece = data[pos:run][:budget - used]
        chunks.append(struct.pack("<IH", pos, len(piece)) + piece)
        used += len(piece)
        pos = run
sectors = (size + sector - 1) // sector
with open(dest, "wb") as out:
    out.write(struct.pack("<I", (sectors - 1) % (1 << 21)))
    for c in chunks:
        out.write(c)
EOF
done
ls -l "$out" | awk 'NR > 1 { printf "%8d %s\n", $5, $9 }'
