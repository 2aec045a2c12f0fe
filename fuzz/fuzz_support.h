// Shared pieces of the libFuzzer targets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Reports a broken property on the real standard error (even when the
// program's own messages are silenced) and aborts, so that libFuzzer keeps
// the input that caused it.
[[noreturn]] void fuzz_fail(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// For LLVMFuzzerInitialize of targets whose code under test writes a
// message on every rejected input. Adds -close_fd_mask=2 unless the command
// line already chooses a mask: libFuzzer then points fd 2 at /dev/null but
// keeps its own output and every sanitizer report on a copy of the real
// standard error, so crash reports and artefact names stay visible. Pass
// -close_fd_mask=0 to see the program's messages while reproducing.
void fuzz_silence_program_stderr(int* argc, char*** argv);

// An in-memory file and a path under /proc/self/fd that opens it, so the
// code under test reads fuzz input through its own fopen without touching
// the disk. Aborts when it cannot be made.
struct MemFile {
  int fd;
  std::string path;
};
MemFile fuzz_make_memfile(const char* name);
void fuzz_rewrite_memfile(const MemFile& file, const uint8_t* data,
                          size_t size);

// Which of the descriptors 0..63 are open, one bit each; a difference
// across a call means the call left a descriptor open (or closed one of
// ours). Leaks sit among the low numbers, as every open takes the lowest.
uint64_t fuzz_open_fds();

// A printable rendering of a string for failure messages.
std::string fuzz_escape(const std::string& text);

// A heap copy of exactly text.size() + 1 bytes, so that ASan flags any read
// past the terminator. Free with free().
char* fuzz_exact_copy(const std::string& text);
