#include <errno.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "devnodes/make_node.h"
#include "test_support.h"

namespace {

TEST(NodeTypeBits, OnlyFourLettersNameAType) {
  const struct {
    char letter;
    uint32_t bits;
  } cases[] = {
      {'b', 0060000},
      {'c', 0020000},
      {'f', 0010000},
      {'l', 0120000},
      {'d', kInvalidNodeType},
      {'e', kInvalidNodeType},
      {'k', kInvalidNodeType},
      {'m', kInvalidNodeType},
      {'a', kInvalidNodeType},
      {'\0', kInvalidNodeType},
      {'\xff', kInvalidNodeType},
  };
  for (const auto& c : cases)
    EXPECT_EQ(node_type_bits(c.letter), c.bits) << "letter " << int(c.letter);
}

class MakeNode : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = private_tmpfs_dir();
    if (dir_.empty()) GTEST_SKIP() << "needs root and a private tmpfs";
  }
  std::string path(const char* name) { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(MakeNode, MakesNodesWithExactModeAndDeviceNumber) {
  const struct {
    const char* name;
    const char* mode;
    char type;
    uint32_t major, minor;
    mode_t file_type;
    mode_t permissions;
    dev_t rdev;
  } cases[] = {
      {"sda1", "0755", 'b', 8, 1, S_IFBLK, 0755, 0x801},
      {"sdq", "0755", 'b', 8, 256, S_IFBLK, 0755, 0x100800},
      {"nvme", "0755", 'b', 259, 0, S_IFBLK, 0755, 0x10300},
      {"console", "0622", 'c', 5, 1, S_IFCHR, 0622, 0x501},
      {"fifo", "u=rw,go=", 'f', 0, 0, S_IFIFO, 0600, 0},
  };
  umask(022);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(make_node(c.mode, path(c.name).c_str(), c.type, c.major, c.minor),
              0);
    struct stat info = {};
    ASSERT_EQ(lstat(path(c.name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IFMT, c.file_type);
    EXPECT_EQ(info.st_mode & 07777, c.permissions) << "the mask must not apply";
    EXPECT_EQ(info.st_rdev, c.rdev);
  }
  EXPECT_EQ(umask(0), 0u) << "the mask stays 0 after a node is made";
}

TEST_F(MakeNode, FailedRequestGivesNegatedErrnoAndClearsTheMask) {
  const struct {
    const char* name;
    char type;
    bool make_first;
    int error;
  } cases[] = {
      {"twice", 'c', true, EEXIST},
      {"dir-type", 'd', false, EINVAL},
      {"missing/parent", 'c', false, ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.make_first) {
      ASSERT_EQ(make_node("0666", path(c.name).c_str(), c.type, 1, 3), 0);
    }
    umask(022);
    errno = 0;
    EXPECT_EQ(make_node("0666", path(c.name).c_str(), c.type, 1, 3), -c.error);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(umask(0), 0u);
  }
}

TEST_F(MakeNode, RejectedModeMakesNothingAndKeepsTheMask) {
  umask(027);
  const std::string node = path("rejected");
  int result = 0;
  EXPECT_EQ(
      stderr_of([&] { result = make_node("0999", node.c_str(), 'c', 1, 3); }),
      "mode failed\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(umask(022), 027u);
  struct stat info;
  EXPECT_NE(lstat(node.c_str(), &info), 0);
}

}  // namespace
