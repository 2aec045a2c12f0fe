// Crafted device contents through the very code the scan runs on every
// block device: the UUID probe (open_probe and finish_probe, with their
// flags) and the partition pass's read of a disk's partition table, with
// libblkid itself built with the sanitizers and coverage
// (cmake/musl-deps.sh fuzz). Anyone can plug in a stick: a crash here is a
// kernel panic on the board.
//
// The input describes a sparse device, so that signatures at its end (RAID
// superblocks, GPT's backup header) are reached as well as those at its
// head:
//   4 bytes   its size in 512-byte sectors, little-endian (1 to 2^21,
//             the value taken modulo 2^21, plus one)
//   then chunks, each
//     4 bytes   offset in bytes, little-endian, modulo the size
//     2 bytes   length, little-endian
//     data      that many bytes (fewer at the end of the input), written
//               at the offset and cut at the device's end
// Everything else of the device reads as zeros.
#include <blkid.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/handles.h"
#include "devnodes/link_name.h"
#include "devnodes/partuuid_links.h"
#include "devnodes/probe_uuid.h"
#include "fuzz_support.h"

namespace {

constexpr uint64_t kSectorBytes = 512;
constexpr uint64_t kMaxSectors = 1u << 21;  // 1 GiB: every offset libblkid uses

MemFile g_device;

uint64_t read_le(const uint8_t* data, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(data[i]) << (8 * i);
  return value;
}

// Lays the device out anew: zeros, then the chunks.
void write_device(const uint8_t* data, size_t size) {
  uint64_t device_bytes = kSectorBytes;
  if (size >= 4) {
    device_bytes = (1 + read_le(data, 4) % kMaxSectors) * kSectorBytes;
    data += 4;
    size -= 4;
  } else {
    size = 0;
  }
  if (ftruncate(g_device.fd, 0) != 0 ||
      ftruncate(g_device.fd, static_cast<off_t>(device_bytes)) != 0)
    fuzz_fail("cannot size the device file");
  while (size >= 6) {
    const uint64_t offset = read_le(data, 4) % device_bytes;
    uint64_t length = read_le(data + 4, 2);
    data += 6;
    size -= 6;
    if (length > size) length = size;
    const uint64_t fits = device_bytes - offset < length ? device_bytes - offset : length;
    if (pwrite(g_device.fd, data, fits, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(fits))
      fuzz_fail("cannot write the device file");
    data += length;
    size -= length;
  }
}

// What the scan does with a UUID: a NUL-terminated copy, then the link-name
// test.
void use_uuid(const char* uuid) {
  const size_t length = strlen(uuid);
  char* copy = fuzz_exact_copy(std::string(uuid, length));
  is_safe_link_name(copy);
  free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // The probes say nothing about a memory file that opens; silenced as
  // in the other targets all the same.
  fuzz_silence_program_stderr(argc, argv);
  g_device = fuzz_make_memfile("quenvale-device");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  write_device(data, size);
  const uint64_t open_fds = fuzz_open_fds();

  // The UUID probe of pass 1.
  OpenedProbe opened;
  if (open_probe(g_device.path.c_str(), &opened) != 0)
    fuzz_fail("the probe could not open the device file");
  char* uuid = nullptr;
  if (finish_probe(&opened, &uuid) == 0) {
    if (uuid == nullptr) fuzz_fail("a UUID was found but none handed out");
    use_uuid(uuid);
    free(uuid);
  }

  // The partition pass's table read, and every partition's UUID.
  {
    UniqueProbe table_probe;
    blkid_partlist partitions = read_partition_table(g_device.path.c_str(), &table_probe);
    const int count = partitions != nullptr ? blkid_partlist_numof_partitions(partitions) : 0;
    for (int i = 0; i < count; ++i) {
      blkid_partition partition = blkid_partlist_get_partition(partitions, i);
      if (partition == nullptr) fuzz_fail("partition %d of %d missing", i, count);
      if (const char* part_uuid = blkid_partition_get_uuid(partition)) use_uuid(part_uuid);
    }
  }

  const uint64_t open_after = fuzz_open_fds();
  if (open_after != open_fds)
    fuzz_fail("the probes changed the open descriptors: %#llx, was %#llx",
              static_cast<unsigned long long>(open_after),
              static_cast<unsigned long long>(open_fds));
  return 0;
}
