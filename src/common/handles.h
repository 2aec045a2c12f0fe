// Owning handles for every kind of resource the start-up code takes, so
// that an early return can never leak an fd, stream, mapping or string.
#pragma once

// pkg-config names the blkid directory itself, for native and cross builds.
#include <blkid.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <memory>

struct FileCloser {
  void operator()(FILE* f) const noexcept { fclose(f); }
};
struct DirCloser {
  void operator()(DIR* d) const noexcept { closedir(d); }
};
struct FreeDeleter {
  void operator()(void* p) const noexcept { free(p); }
};
struct ProbeDeleter {
  void operator()(blkid_probe p) const noexcept { blkid_free_probe(p); }
};

using UniqueFile = std::unique_ptr<FILE, FileCloser>;
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
using UniqueCString = std::unique_ptr<char, FreeDeleter>;
using UniqueProbe = std::unique_ptr<blkid_struct_probe, ProbeDeleter>;

class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  void reset() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A read-only file mapping; an empty one (MAP_FAILED) releases nothing.
class UniqueMapping {
 public:
  UniqueMapping(void* addr, size_t length) noexcept
      : addr_(addr), length_(length) {}
  UniqueMapping(UniqueMapping&& other) noexcept
      : addr_(other.addr_), length_(other.length_) {
    other.addr_ = MAP_FAILED;
  }
  ~UniqueMapping() {
    if (valid()) munmap(addr_, length_);
  }
  UniqueMapping(const UniqueMapping&) = delete;
  UniqueMapping& operator=(const UniqueMapping&) = delete;

  bool valid() const noexcept { return addr_ != MAP_FAILED; }
  void* get() const noexcept { return addr_; }
  size_t length() const noexcept { return length_; }

 private:
  void* addr_;
  size_t length_;
};

// Fixed buffer size for paths and text lines; formatted prints and fgets
// use one byte less as their limit.
constexpr size_t kPathBufferSize = 1024;
constexpr size_t kLineLimit = kPathBufferSize - 1;
