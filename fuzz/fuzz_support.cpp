#include "fuzz_support.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace {

// Where violations are written: fd 2 until the program's messages are
// silenced, then a copy taken before libFuzzer redirects fd 2.
int g_report_fd = STDERR_FILENO;

}  // namespace

void fuzz_fail(const char* format, ...) {
  char message[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  dprintf(g_report_fd, "\n==PROPERTY VIOLATION== %s\n", message);
  abort();
}

void fuzz_silence_program_stderr(int* argc, char*** argv) {
  g_report_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_report_fd < 0) g_report_fd = STDERR_FILENO;

  for (int i = 1; i < *argc; ++i)
    if (strncmp((*argv)[i], "-close_fd_mask=", 15) == 0) return;
  // libFuzzer reads its flags only after this initialiser returns, and
  // keeps the vector for the rest of the run: it must outlive us.
  static std::vector<char*> extended;
  extended.assign(*argv, *argv + *argc);
  static char mask_flag[] = "-close_fd_mask=2";
  extended.push_back(mask_flag);
  extended.push_back(nullptr);
  *argc += 1;
  *argv = extended.data();
}

MemFile fuzz_make_memfile(const char* name) {
  MemFile file;
  file.fd = memfd_create(name, MFD_CLOEXEC);
  if (file.fd < 0) fuzz_fail("memfd_create: %s", strerror(errno));
  file.path = "/proc/self/fd/" + std::to_string(file.fd);
  return file;
}

void fuzz_rewrite_memfile(const MemFile& file, const uint8_t* data,
                          size_t size) {
  if (ftruncate(file.fd, 0) != 0) fuzz_fail("ftruncate: %s", strerror(errno));
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(file.fd, data + done, size - done,
                             static_cast<off_t>(done));
    if (n <= 0) fuzz_fail("pwrite: %s", strerror(errno));
    done += static_cast<size_t>(n);
  }
}

uint64_t fuzz_open_fds() {
  uint64_t open_fds = 0;
  for (int fd = 0; fd < 64; ++fd)
    if (fcntl(fd, F_GETFD) != -1) open_fds |= uint64_t{1} << fd;
  return open_fds;
}

std::string fuzz_escape(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    }
  }
  return out + "\"";
}

char* fuzz_exact_copy(const std::string& text) {
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  if (copy == nullptr) fuzz_fail("out of memory");
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}
