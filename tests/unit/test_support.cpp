// Test entry point, and the helpers of test_support.h that share its
// state. Before any test runs it forbids module loading for the whole test
// process, so no test can ever put a module into the kernel of the machine
// it runs on, whatever path it takes.
#include "test_support.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "module_load_guard.h"

namespace {

bool g_guarded = false;
std::vector<std::string> g_scratch_dirs;
std::string g_tmpfs_dir;

void remove_scratch() {
  if (!g_tmpfs_dir.empty()) umount2(g_tmpfs_dir.c_str(), MNT_DETACH);
  for (const std::string& dir : g_scratch_dirs) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
}

}  // namespace

bool module_load_guarded() { return g_guarded; }

std::string make_scratch_dir() {
  char dir[] = "/tmp/quenvale-test.XXXXXX";
  if (mkdtemp(dir) == nullptr) return "";
  g_scratch_dirs.emplace_back(dir);
  return dir;
}

std::string private_tmpfs_dir() {
  static std::string dir = [] {
    if (geteuid() != 0) return std::string();
    if (unshare(CLONE_NEWNS) != 0) return std::string();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string();
    std::string path = make_scratch_dir();
    if (path.empty() ||
        mount("quenvale-test", path.c_str(), "tmpfs", 0, nullptr) != 0)
      return std::string();
    g_tmpfs_dir = path;
    return path;
  }();
  return dir;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  g_guarded = install_module_load_guard();
  int result = RUN_ALL_TESTS();
  remove_scratch();

  // Under CI (CI set to anything) every test must run: a skip there hides
  // a missing privilege, and a native run without the guard would send
  // the module tests to the stand-in alone.
  const char* ci = getenv("CI");
  if (ci == nullptr || ci[0] == '\0') return result;
  const int skipped = testing::UnitTest::GetInstance()->skipped_test_count();
  if (skipped > 0) {
    fprintf(stderr, "FAIL: %d test(s) skipped under CI\n", skipped);
    result = 1;
  }
#ifndef QUENVALE_EMULATED_TESTS
  if (!g_guarded) {
    fputs("FAIL: the module load guard is not in force under CI\n", stderr);
    result = 1;
  }
#endif
  return result;
}
