#pragma once

#include <string>

// True when the seccomp guard of this test binary turns every module load
// request into EPERM; tests that reach the request run only then.
bool module_load_guarded();

// A fresh directory under /tmp for files the test writes.
std::string make_scratch_dir();

// A directory on a tmpfs of its own in a private mount namespace, for
// effects that need root (mknod, umask); empty when not root.
std::string private_tmpfs_dir();

void write_file(const std::string& path, const std::string& content);

// Runs fn and returns what it wrote on standard error.
template <typename Fn>
std::string stderr_of(Fn fn);

#include <gtest/gtest.h>

template <typename Fn>
std::string stderr_of(Fn fn) {
  testing::internal::CaptureStderr();
  fn();
  return testing::internal::GetCapturedStderr();
}
