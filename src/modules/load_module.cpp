#include "modules/load_module.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdint.h>

#include "common/handles.h"
#include "modules/module_request.h"
#include "modules/option_string.h"

namespace {

constexpr int kModuleUnreadable = -12;

// Compared byte by byte: read as one word, the magic would be another
// number on a big-endian machine.
bool has_elf_magic(const void* image, size_t length) {
  static const char kElfMagic[4] = {'\x7f', 'E', 'L', 'F'};
  return length >= sizeof(kElfMagic) &&
         memcmp(image, kElfMagic, sizeof(kElfMagic)) == 0;
}

// Maps the whole file read-only; an invalid mapping when the file is too
// large, empty or unmappable, or holds no ELF image.
UniqueMapping map_module_image(int fd) {
  struct stat info = {};
  if (fstat(fd, &info) != 0 || info.st_size > kMaxModuleSize)
    return UniqueMapping(MAP_FAILED, 0);
  const size_t length = static_cast<size_t>(info.st_size);
  UniqueMapping image(mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0),
                      length);
  if (!image.valid() || !has_elf_magic(image.get(), length))
    return UniqueMapping(MAP_FAILED, 0);
  return image;
}

}  // namespace

int load_module(const char* path, char* const* argv) {
  if (path == nullptr) return -1;

  UniqueCString options(build_option_string(argv));
  if (!options) {
    errno = ENOMEM;
    return kModuleUnreadable;
  }

  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    fprintf(stderr, "open %s failed:%s\n", path, strerror(errno));
    errno = ENOMEM;
    return kModuleUnreadable;
  }
  UniqueMapping image = map_module_image(fd.get());
  fd.reset();
  if (!image.valid()) {
    errno = ENOMEM;
    return kModuleUnreadable;
  }

  // The call's return value says less than errno does; errno is what the
  // caller gets back.
  errno = 0;
  request_module_load(image.get(), image.length(), options.get());
  const int error = errno;
  if (error != 0) {
    fprintf(stderr, "insmod failed:%s\n", strerror(error));
    return error;
  }
  return 0;
}
