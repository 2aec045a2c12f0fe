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

#include <stddef.h>

// The owning pointer of every handle below. The program runs before any
// C++ runtime could be of use, and links none: this is all it needs of
// a unique pointer. Release is the C library's own release function.
template <typename T, auto Release>
class Owned {
 public:
  Owned() noexcept = default;
  explicit Owned(T* pointer) noexcept : pointer_(pointer) {}
  Owned(Owned&& other) noexcept : pointer_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  T* get() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }
  T* release() noexcept {
    T* pointer = pointer_;
    pointer_ = nullptr;
    return pointer;
  }
  void reset(T* pointer = nullptr) noexcept {
    T* old = pointer_;
    pointer_ = pointer;
    if (old != nullptr) Release(old);
  }

 private:
  T* pointer_ = nullptr;
};

using UniqueFile = Owned<FILE, fclose>;
using UniqueDir = Owned<DIR, closedir>;
using UniqueCString = Owned<char, free>;
using UniqueProbe = Owned<blkid_struct_probe, blkid_free_probe>;

class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
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
