#include <string.h>

#include <string>
#include <vector>

#include "bootargs/cmdline.h"
#include "test_support.h"

namespace {

struct CmdlineCase {
  const char* line;       // as the kernel writes it
  const char* root_path;  // null when parsing must fail
  std::vector<std::string> types;
  const char* message;  // what a failure writes
};

// One case a row, wrapped by hand, reads as a table.
// clang-format off
const CmdlineCase kCmdlineCases[] = {
    {"console=ttyS0 root=PARTUUID=0a1b2c3d-02 rootwait\n",
     "/dev/disk/by-partuuid/0a1b2c3d-02", {"ext4"}, ""},
    {"root=UUID=1234-abcd rootfstype=squashfs,ext2\n",
     "/dev/disk/by-uuid/1234-abcd", {"squashfs", "ext2", "ext4"}, ""},
    {"root=/dev/mmcblk0p2\n", "/dev/mmcblk0p2", {"ext4"}, ""},
    {"root=sda1\n", "/dev/sda1", {"ext4"}, ""},
    {"quiet root=sda1", "/dev/sda1", {"ext4"}, ""},
    {"rootfstype=ext2 root=vda1\n", "/dev/vda1", {"ext2", "ext4"}, ""},
    {"root=vda1 rootfstype=xfs\n", "/dev/vda1", {"xfs", "ext4"}, ""},
    {"root=sda1 root=sdb2\n", "/dev/sdb2", {"ext4"}, ""},
    {"root=/dev/sda1 nfsroot=x\n", "/dev/x", {"ext4"}, ""},
    {"root=PARTUUID=ab=cd\n", "/dev/disk/by-partuuid/ab", {"ext4"}, ""},
    {"root=PARTUUID==ab\n", "/dev/disk/by-partuuid/ab", {"ext4"}, ""},
    {"root=vda rootfstype=ext4\n", "/dev/vda", {"ext4", "ext4"}, ""},
    {"root=vda rootfstype=\n", "/dev/vda", {"ext4"}, ""},
    {"root=vda rootfstype=,squashfs,,\n", "/dev/vda", {"squashfs", "ext4"}, ""},
    {"root=vda rootfstype=a=b\n", "/dev/vda", {"a=b", "ext4"}, ""},
    {"root=vda rootfstype=ext2 rootfstype=btrfs\n", "/dev/vda",
     {"btrfs", "ext4"}, ""},
    {"root=vda rootflags=ro rootdelay=3 rootwait\n", "/dev/vda", {"ext4"}, ""},
    {"   root=vda1    rootfstype=ext2   \n", "/dev/vda1", {"ext2", "ext4"}, ""},
    {"root=vda1\tquiet\n", "/dev/vda1\tquiet", {"ext4"}, ""},
    {"root=/dev/disk/by-label/boot\n", "/dev/disk/by-label/boot", {"ext4"}, ""},
    {"root=PARTUUID=\n", nullptr, {}, "root args error\n"},
    {"root=UUID=\n", nullptr, {}, "root args error\n"},
    {"console=ttyS0 quiet\n", nullptr, {}, "root args error\n"},
    {"rootfstype=ext4 rootwait\n", nullptr, {}, "root args error\n"},
    {"\n", nullptr, {}, "root args error\n"},
};
// clang-format on

std::vector<std::string> type_names(const BootArgs* args) {
  std::vector<std::string> names;
  for (const FsTypeNode* node = args->fs_types; node; node = node->next)
    names.emplace_back(node->name);
  return names;
}

class Cmdline : public testing::TestWithParam<CmdlineCase> {};

TEST_P(Cmdline, ParsesRootAndTypesOrFails) {
  const CmdlineCase& c = GetParam();
  std::string line = c.line;
  // A failure must leave the caller's pointer as it was.
  BootArgs untouched = {};
  BootArgs* args = &untouched;
  int result = 0;
  const std::string err =
      stderr_of([&] { result = parse_cmdline_line(line.data(), &args); });
  if (c.root_path == nullptr) {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(args, &untouched);
    EXPECT_EQ(err, c.message);
    return;
  }
  ASSERT_EQ(result, 0) << err;
  ASSERT_NE(args, nullptr);
  EXPECT_EQ(err, "");
  EXPECT_STREQ(args->root_path, c.root_path);
  EXPECT_EQ(type_names(args), c.types);
  free_boot_args(&args);
}

INSTANTIATE_TEST_SUITE_P(Table, Cmdline, testing::ValuesIn(kCmdlineCases));

struct CmdlineFileCase {
  const char* name;
  std::string content;  // null-like "<missing>" means no file at all
  const char* root_path;
  const char* message;
};

std::string long_line_with_root_at(size_t column) {
  std::string line(column, 'x');
  line[column - 1] = ' ';
  return "root=early " + line.substr(11) + "root=late\n";
}

TEST(CmdlineFile, ReadsOneLineOfAtMost1022Characters) {
  const std::string dir = make_scratch_dir();
  // root=late starts at column 1021 (0-based) in the first case: it is cut
  // to "root=l"; one column later it is not seen at all.
  const CmdlineFileCase cases[] = {
      {"missing", "<missing>", nullptr,
       "get cmdline failed:No such file or directory\n"},
      {"empty", "", nullptr, "cmdline empty\n"},
      {"only-newline", "\n", nullptr, "root args error\n"},
      {"second-line-ignored", "quiet\nroot=vda1\n", nullptr,
       "root args error\n"},
      {"cut-short", long_line_with_root_at(1016), "/dev/l", ""},
      {"cut-away", long_line_with_root_at(1022), "/dev/early", ""},
      {"fits", long_line_with_root_at(1013), "/dev/late", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    if (c.content != "<missing>") write_file(path, c.content);
    BootArgs untouched = {};
    BootArgs* args = &untouched;
    int result = 0;
    const std::string err =
        stderr_of([&] { result = parse_cmdline_file(path.c_str(), &args); });
    EXPECT_EQ(err, c.message);
    if (c.root_path == nullptr) {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(args, &untouched);
    } else {
      ASSERT_EQ(result, 0);
      EXPECT_STREQ(args->root_path, c.root_path);
      free_boot_args(&args);
    }
  }
}

// Nothing to release: the call must not touch the null record (a read
// through it would crash the test).
TEST(FreeBootArgs, IgnoresANullRecord) {
  BootArgs* args = nullptr;
  free_boot_args(&args);
}

}  // namespace
