// Every allocation of the command-line parser and of the option string,
// made to fail one at a time: each gives its message and result and
// leaves nothing allocated (the sanitized test build checks leaks at exit).
#include <errno.h>

#include <string>
#include <vector>

#include "bootargs/cmdline.h"
#include "failing_alloc.h"
#include "modules/load_module.h"
#include "modules/option_string.h"
#include "test_support.h"

namespace {

struct AllocCase {
  const char* line;
  // What failing the n-th allocation (1-based) prints.
  std::vector<std::string> messages;
};

const AllocCase kAllocCases[] = {
    // root path, the node and name of each type, then "ext4", the record
    {"root=UUID=x rootfstype=a,b",
     {"alloc root path failed\n", "fstype error\n", "fstype error\n",
      "fstype error\n", "fstype error\n", "fstype error\n", "fstype error\n",
      "alloc bootargs failed\n"}},
    {"root=PARTUUID=y",
     {"alloc root path failed\n", "fstype error\n", "fstype error\n",
      "alloc bootargs failed\n"}},
    {"root=/dev/vda1 rootfstype=ext2",
     {"alloc root path failed\n", "fstype error\n", "fstype error\n",
      "fstype error\n", "fstype error\n", "alloc bootargs failed\n"}},
    {"root=vda1",
     {"alloc root path failed\n", "fstype error\n", "fstype error\n",
      "alloc bootargs failed\n"}},
};

class CmdlineAllocation : public testing::TestWithParam<AllocCase> {};

TEST_P(CmdlineAllocation, EachFailureIsReportedAndReleased) {
  const AllocCase& c = GetParam();
  // Without a failure the parser makes exactly as many allocations as the
  // table lists.
  {
    std::string line = c.line;
    BootArgs* args = nullptr;
    fail_allocation(0);
    ASSERT_EQ(parse_cmdline_line(line.data(), &args), 0);
    EXPECT_EQ(allocations_seen(), static_cast<int>(c.messages.size()));
    free_boot_args(&args);
  }
  for (size_t n = 1; n <= c.messages.size(); ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    std::string line = c.line;
    BootArgs untouched = {};
    BootArgs* args = &untouched;
    int result = 0;
    const std::string err = stderr_of([&] {
      fail_allocation(static_cast<int>(n));
      result = parse_cmdline_line(line.data(), &args);
      fail_allocation(0);
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(args, &untouched);
    EXPECT_EQ(err, c.messages[n - 1]);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CmdlineAllocation,
                         testing::ValuesIn(kAllocCases));

TEST(OptionStringAllocation, FailureFailsTheLoadBeforeOpening) {
  char program[] = "init";
  char option[] = "a=1";
  char* argv[] = {program, option, nullptr};
  fail_allocation(1);
  EXPECT_EQ(build_option_string(argv), nullptr);
  fail_allocation(0);

  // load_module's first allocation is the option string: the load fails
  // with -12 and ENOMEM, and not even the open is tried (no message for
  // the missing file).
  int result = 0;
  errno = 0;
  const std::string err = stderr_of([&] {
    fail_allocation(1);
    result = load_module("/nonexistent/module.ko", argv);
    fail_allocation(0);
  });
  EXPECT_EQ(result, -12);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(err, "");
}

}  // namespace
