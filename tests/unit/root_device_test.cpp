#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "rootfs/root_device.h"
#include "test_support.h"

namespace {

// A link directory as libblkid fills it: names in the disk's own case.
class LinkDir : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_scratch_dir();
    ASSERT_FALSE(dir_.empty());
    for (const char* node : {"sda1", "sda2", "sdb1", "sdc1"})
      write_file(dir_ + "/" + node, "");
    const struct {
      const char* link;
      const char* node;
    } links[] = {
        {"5f2c6a1e-7d3b-4c8e-9a10-000000000001", "sda1"},  // GPT, lower case
        {"ABCD-1234", "sda2"},                             // FAT serial
        {"exact", "sdb1"},
        {"EXACT", "sdc1"},
        {"abcd", "sdb1"},
        {"\xc3\xa9t\xc3\xa9", "sdc1"},  // é in UTF-8: no case outside ASCII
        {"gone", "missing-node"},
        {"GONE", "sda1"},
    };
    for (const auto& l : links)
      ASSERT_EQ(
          symlink((dir_ + "/" + l.node).c_str(), (dir_ + "/" + l.link).c_str()),
          0);
  }
  std::string dir_;
};

TEST_F(LinkDir, ExactNameFirstThenAnyAsciiCase) {
  const struct {
    const char* name;
    const char* node;  // null: nothing resolves
  } cases[] = {
      {"5f2c6a1e-7d3b-4c8e-9a10-000000000001", "sda1"},
      {"5F2C6A1E-7D3B-4C8E-9A10-000000000001", "sda1"},
      {"5f2C6a1E-7d3b-4C8e-9A10-000000000001", "sda1"},
      {"ABCD-1234", "sda2"},
      {"abcd-1234", "sda2"},
      {"exact", "sdb1"},  // both cases exist: each exact name wins
      {"EXACT", "sdc1"},
      {"abc", nullptr},  // a prefix of a name is no match
      {"abcd-12345", nullptr},
      {"\xc3\x89t\xc3\x89", nullptr},  // É is not é to an ASCII rule
      {"gone", nullptr},  // the exact link is there, its node is not
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char resolved[PATH_MAX] = {};
    const int result = resolve_in_link_dir(dir_.c_str(), c.name, resolved);
    if (c.node == nullptr) {
      EXPECT_EQ(result, -1) << resolved;
    } else {
      char expected[PATH_MAX] = {};
      ASSERT_NE(realpath((dir_ + "/" + c.node).c_str(), expected), nullptr);
      EXPECT_EQ(result, 0);
      EXPECT_STREQ(resolved, expected);
    }
  }
}

// With two or more case variants and no exact name, the device meant is
// unknown whatever order the directory lists them in: none is taken, and
// the wait goes on. Each row adds its links to the fixture's.
TEST_F(LinkDir, SeveralCaseVariantsWithoutExactNameResolveNothing) {
  const struct {
    const char* name;
    std::vector<const char*> extra_links;
  } cases[] = {
      {"Exact", {}},                        // exact, EXACT
      {"ExAcT", {"eXaCt"}},                 // three variants
      {"ABCD", {"aBcD"}},                   // abcd's twin added
      {"0E1F-AB", {"0e1f-ab", "0E1F-ab"}},  // the typed one absent
      {"Gone", {}},                         // gone (no node), GONE
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* link : c.extra_links)
      ASSERT_EQ(symlink((dir_ + "/sda1").c_str(), (dir_ + "/" + link).c_str()),
                0);
    char resolved[PATH_MAX] = {};
    EXPECT_EQ(resolve_in_link_dir(dir_.c_str(), c.name, resolved), -1)
        << resolved;
    char found[PATH_MAX] = {};
    EXPECT_EQ(
        find_name_ignoring_case(dir_.c_str(), c.name, found, sizeof found), -1)
        << found;
  }
}

TEST_F(LinkDir, FoundPathMustFit) {
  char small[8] = {};
  EXPECT_EQ(
      find_name_ignoring_case(dir_.c_str(), "abcd-1234", small, sizeof small),
      -1);
}

}  // namespace
