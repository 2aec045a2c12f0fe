#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "module_request_stub.h"
#include "modules/load_module.h"
#include "modules/module_list.h"
#include "modules/option_string.h"
#include "test_support.h"

namespace {

// A NULL-terminated vector as the program passes it on.
struct Argv {
  explicit Argv(std::vector<std::string> args) : strings(std::move(args)) {
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  char* const* get() { return pointers.data(); }
  std::vector<std::string> strings;
  std::vector<char*> pointers;
};

TEST(OptionString, SkipsTheFirstElementAndEndsEachWithABlank) {
  const struct {
    std::vector<std::string> argv;
    const char* options;
  } cases[] = {
      {{}, ""},
      {{"console"}, ""},
      {{"console", "a=1", "b"}, "a=1 b "},
      {{"x", "dyndbg=+p", "", "v=a=b"}, "dyndbg=+p  v=a=b "},
  };
  for (const auto& c : cases) {
    Argv argv(c.argv);
    char* options = build_option_string(argv.get());
    ASSERT_NE(options, nullptr);
    EXPECT_STREQ(options, c.options);
    free(options);
  }
}

class ModuleList : public testing::Test {
 protected:
  void SetUp() override { dir_ = make_scratch_dir(); }
  std::string path(const std::string& name) { return dir_ + "/" + name; }
  std::string dir_;
};

// Whether the process still maps the file: a failed or finished load must
// release its mapping.
bool is_mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(path) != std::string::npos) return true;
  return false;
}

std::string elf_image() {
  return std::string("\177ELF", 4) + std::string(60, '\0');
}

TEST_F(ModuleList, StopsAtTheFirstModuleThatCannotBeRead) {
  write_file(path("empty.ko"), "");
  write_file(path("text.ko"), "not an ELF image");
  write_file(path("short.ko"), "\177EL");
  // The magic's bytes in the other order: one word apart from the magic
  // on a machine of the other byte order.
  write_file(path("swapped.ko"),
             std::string("FLE\x7f", 4) + std::string(60, '\0'));
  write_file(path("with blank.ko "), "x");
  // 1022 characters of short components, then more that fgets leaves for
  // the next read.
  std::string long_path = "/";
  while (long_path.size() < 1021) long_path += "m/";
  long_path += "m";

  const struct {
    const char* name;
    std::string list;  // "<missing>" means no list file
    int result;
    std::string message;
  } cases[] = {
      {"missing list", "<missing>", -1, path("list") + " not found\n"},
      {"empty list", "", 0, ""},
      {"blank line", "\n" + path("text.ko") + "\n", -12,
       "open  failed:No such file or directory\n"},
      {"missing module", path("gone.ko") + "\n" + path("also-gone.ko") + "\n",
       -12, "open " + path("gone.ko") + " failed:No such file or directory\n"},
      {"empty module", path("empty.ko") + "\n", -12, ""},
      {"not ELF", path("text.ko") + "\n", -12, ""},
      {"shorter than the magic", path("short.ko") + "\n", -12, ""},
      {"magic in the other byte order", path("swapped.ko") + "\n", -12, ""},
      {"no newline at the end", path("text.ko"), -12, ""},
      {"trailing blank kept", path("with blank.ko") + " \n", -12, ""},
      {"carriage return kept", path("text.ko") + "\r\n", -12,
       "open " + path("text.ko") + "\r failed:No such file or directory\n"},
      {"long line cut at 1022", long_path + "/tail\n", -12,
       "open " + long_path + " failed:No such file or directory\n"},
  };
  Argv argv({});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.list != "<missing>") write_file(path("list"), c.list);
    int result = 0;
    errno = 0;
    const std::string err = stderr_of([&] {
      result = load_module_list_from(path("list").c_str(), argv.get());
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(err, c.message);
    if (c.result == -12) {
      EXPECT_EQ(errno, ENOMEM);
    }
    unlink(path("list").c_str());
  }
}

// Root reads every file, so the list is read by an unprivileged child.
TEST_F(ModuleList, UnreadableListIsReported) {
  write_file(path("list"), "x\n");
  chmod(path("list").c_str(), 0);
  chmod(dir_.c_str(), 0755);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(pipe_fds[1], STDERR_FILENO);
    if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(100);
    Argv argv({});
    _exit(load_module_list_from(path("list").c_str(), argv.get()) & 0xff);
  }
  close(pipe_fds[1]);
  char buffer[256] = {};
  const ssize_t length = read(pipe_fds[0], buffer, sizeof(buffer) - 1);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255) << "result -1";
  EXPECT_EQ(std::string(buffer, length > 0 ? length : 0),
            "open " + path("list") + " failed:Permission denied\n");
}

TEST_F(ModuleList, NullPathIsRejectedSilently) {
  Argv argv({});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(load_module(nullptr, argv.get()), -1); }),
            "");
}

// Files at and just past the size limit, sparse so that they cost nothing.
// The request reaches a kernel only behind the guard (module_request_stub).
// A 32-bit process has 2 GiB of address space at most (MIPS user space is
// 2 GiB): there an image at the limit passes the size test but can never
// be mapped, and fails the same silent way as one past it.
TEST_F(ModuleList, SizeLimitAndLoadRequest) {
  constexpr bool kLimitMappable = sizeof(void*) > 4;
  const char* const refused = "insmod failed:Operation not permitted\n";
  const struct {
    const char* name;
    long long size;
    int result;
    const char* message;
    int requests;
  } cases[] = {
      {"small.ko", 64, EPERM, refused, 1},
      {"256MiB.ko", 256LL << 20, EPERM, refused, 1},
      {"at-limit.ko", kMaxModuleSize, kLimitMappable ? EPERM : -12,
       kLimitMappable ? refused : "", kLimitMappable ? 1 : 0},
      {"over-limit.ko", kMaxModuleSize + 1, -12, "", 0},
  };
  Argv argv({"console", "a=1", "b"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path(c.name), elf_image());
    ASSERT_EQ(truncate(path(c.name).c_str(), c.size), 0);
    forget_module_requests();
    int result = 0;
    const std::string err = stderr_of(
        [&] { result = load_module(path(c.name).c_str(), argv.get()); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(err, c.message);
    EXPECT_FALSE(is_mapped(path(c.name)));
    const SeenModuleRequest& seen = seen_module_requests();
    ASSERT_EQ(seen.count, c.requests);
    if (c.requests > 0) {
      EXPECT_EQ(seen.length, static_cast<size_t>(c.size)) << "the whole file";
      uint32_t magic = 0;
      memcpy(&magic, "\177ELF", sizeof(magic));
      EXPECT_EQ(seen.first_word, magic) << "the mapped image itself";
      EXPECT_EQ(seen.options, "a=1 b ");
    }
    unlink(path(c.name).c_str());
  }
}

TEST_F(ModuleList, ImageWithoutMagicIsUnmapped) {
  write_file(path("big.ko"), std::string(8192, 'x'));
  Argv argv({});
  EXPECT_EQ(load_module(path("big.ko").c_str(), argv.get()), -12);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_FALSE(is_mapped(path("big.ko")));
}

TEST_F(ModuleList, RefusedModuleEndsTheList) {
  write_file(path("a.ko"), elf_image());
  write_file(path("b.ko"), elf_image());
  write_file(path("list"), path("a.ko") + "\n" + path("b.ko") + "\n");
  Argv argv({});
  forget_module_requests();
  int result = 0;
  const std::string err = stderr_of([&] {
    result = load_module_list_from(path("list").c_str(), argv.get());
  });
  EXPECT_EQ(result, EPERM);
  EXPECT_EQ(err, "insmod failed:Operation not permitted\n");
  EXPECT_EQ(seen_module_requests().count, 1) << "b.ko is never requested";
  EXPECT_EQ(seen_module_requests().options, "");
}

}  // namespace
