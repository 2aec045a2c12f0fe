// The built-in nodes as process 1 makes them: make_static_nodes runs in a
// child chrooted into a private tmpfs, so its absolute /dev paths land
// there, and the child's exit status and standard error are the program's.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "init/start.h"
#include "test_support.h"

namespace {

struct ChildResult {
  int status = -1;
  std::string err;
};

ChildResult make_static_nodes_in(const std::string& root) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(100);
    make_static_nodes();
    _exit(0);
  }
  close(pipe_fds[1]);
  ChildResult result;
  char buffer[256];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
    result.err.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  return result;
}

// "<mode> <c|f|-> <major>:<minor>" of a path, "-" when it is not there.
std::string node_of(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return "-";
  const char kind = S_ISCHR(info.st_mode)   ? 'c'
                    : S_ISREG(info.st_mode) ? 'f'
                                            : '?';
  char text[64];
  snprintf(text, sizeof text, "%04o %c %u:%u", info.st_mode & 07777, kind,
           major(info.st_rdev), minor(info.st_rdev));
  return text;
}

TEST(StaticNodes, MadeInOrderExistingOnesSkippedAnyOtherFailureFatal) {
  const std::string base = private_tmpfs_dir();
  ASSERT_FALSE(base.empty()) << "needs root and a private tmpfs";
  const std::string tty = "0666 c 5:0", console = "0622 c 5:1",
                    null = "0666 c 1:3", zero = "0666 c 1:5";
  const std::string file = "0644 f 0:0";
  const struct {
    const char* name;
    const char* existing;   // a plain file already at this /dev path
    const char* dev_mount;  // tmpfs options for /dev, or null for a directory
    bool no_dev;
    int status;
    std::string err;
    std::string tty, console, null, zero;
  } cases[] = {
      {"fresh /dev", nullptr, nullptr, false, 0, "", tty, console, null, zero},
      {"console already there", "console", nullptr, false, 0, "", tty, file,
       null, zero},
      {"tty already there", "tty", nullptr, false, 0, "", file, console, null,
       zero},
      {"no /dev at all", nullptr, nullptr, true, 255,
       "make /dev/tty failed:No such file or directory\n"
       "make ramdisk dev node failed\n",
       "-", "-", "-", "-"},
      // Room for the directory and two nodes: the third stops the start.
      {"/dev full after two", nullptr, "nr_inodes=3", false, 255,
       "make /dev/null failed:No space left on device\n"
       "make ramdisk dev node failed\n",
       tty, console, "-", "-"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = base + "/static-" + std::to_string(index++);
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    const std::string dev = root + "/dev";
    if (!c.no_dev) {
      ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
    }
    if (c.dev_mount != nullptr) {
      ASSERT_EQ(mount("quenvale-dev", dev.c_str(), "tmpfs", 0, c.dev_mount), 0);
    }
    if (c.existing != nullptr) {
      const int fd =
          open((dev + "/" + c.existing).c_str(), O_CREAT | O_WRONLY, 0644);
      ASSERT_GE(fd, 0);
      close(fd);
    }
    // A sanitized child reads /proc when it exits.
    const std::string proc = root + "/proc";
    ASSERT_EQ(mkdir(proc.c_str(), 0755), 0);
    ASSERT_EQ(mount("proc", proc.c_str(), "proc", 0, nullptr), 0);
    umask(022);
    const ChildResult result = make_static_nodes_in(root);
    umount2(proc.c_str(), MNT_DETACH);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(node_of(dev + "/tty"), c.tty);
    EXPECT_EQ(node_of(dev + "/console"), c.console);
    EXPECT_EQ(node_of(dev + "/null"), c.null);
    EXPECT_EQ(node_of(dev + "/zero"), c.zero);
    if (c.dev_mount != nullptr) umount2(dev.c_str(), MNT_DETACH);
  }
}

}  // namespace
