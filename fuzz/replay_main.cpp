// A stand-in for libFuzzer where it has no runtime: the fuzz targets built
// for other machines (gcc cross builds under qemu-user, tools/fuzz.sh
// cross). It runs every seed of the corpus directories, then a fixed number
// of inputs made from them by random mutations, from a fixed seed so that a
// run is repeatable. There is no coverage feedback: what it adds to the
// host's fuzzing is the target's word size and alignment, with the same
// properties checked and the sanitizers of the cross compiler.
//
//   TARGET [-runs=N] [-seed=S] [-max_len=L] [-close_fd_mask=M] DIR...
//
// Exits 0 when every input passed; the input being run is kept in
// ./replay-failure-<target>, which a failing run leaves behind. With a
// close_fd_mask, sanitizer reports must go to a file (log_path in
// ASAN_OPTIONS and UBSAN_OPTIONS), as standard error is then /dev/null.
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Input = std::vector<uint8_t>;

struct Random {
  uint64_t state;
  uint64_t next() {
    // xorshift64*: enough spread for picking mutations.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  size_t below(size_t limit) { return limit == 0 ? 0 : next() % limit; }
};

bool read_file(const std::string& path, Input& out) {
  FILE* file = fopen(path.c_str(), "rbe");
  if (file == nullptr) return false;
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
    out.insert(out.end(), buffer, buffer + got);
  const bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

void load_corpus(const char* dir, std::vector<Input>& corpus) {
  DIR* stream = opendir(dir);
  if (stream == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(stream))
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  closedir(stream);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    Input input;
    if (read_file(std::string(dir) + "/" + name, input)) corpus.push_back(input);
  }
}

// Values at the edges of the word sizes, where 32 and 64 bits part ways.
const uint64_t kEdges[] = {0, 1, 0x7f, 0x80, 0xff, 0x7fff, 0x8000, 0xffff,
                           0x7fffffff, 0x80000000, 0xffffffff, 0x100000000ULL,
                           0x7fffffffffffffffULL, 0xffffffffffffffffULL};

void mutate(Input& input, const std::vector<Input>& corpus, Random& random) {
  const size_t steps = 1 + random.below(4);
  for (size_t step = 0; step < steps; ++step) {
    const size_t at = random.below(input.size() + 1);
    switch (random.below(7)) {
      case 0:
        if (!input.empty()) input[random.below(input.size())] ^= 1u << random.below(8);
        break;
      case 1:
        if (!input.empty()) input[random.below(input.size())] = random.next() & 0xff;
        break;
      case 2:
        input.insert(input.begin() + at, static_cast<uint8_t>(random.next()));
        break;
      case 3:
        if (at < input.size())
          input.erase(input.begin() + at,
                      input.begin() + at + 1 + random.below(input.size() - at));
        break;
      case 4: {  // a word at an edge, in either byte order
        const uint64_t value = kEdges[random.below(sizeof(kEdges) / sizeof(kEdges[0]))];
        const size_t width = size_t{1} << random.below(4);
        const bool big = random.below(2) != 0;
        for (size_t i = 0; i < width && at + i < input.size(); ++i)
          input[at + i] = static_cast<uint8_t>(value >> (8 * (big ? width - 1 - i : i)));
        break;
      }
      case 5:  // ASCII digits: most inputs here are text
        input.insert(input.begin() + at, static_cast<uint8_t>('0' + random.below(10)));
        break;
      default: {  // a piece of another seed
        const Input& other = corpus[random.below(corpus.size())];
        if (other.empty()) break;
        const size_t from = random.below(other.size());
        const size_t length = 1 + random.below(other.size() - from);
        input.insert(input.begin() + at, other.begin() + from, other.begin() + from + length);
        break;
      }
    }
  }
}

const char* g_failure_path = nullptr;
const Input* g_current = nullptr;

// Written before the run, so that the input survives the target's abort.
void keep_current() {
  const int fd = open(g_failure_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t written = write(fd, g_current->data(), g_current->size());
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  unsigned long runs = 1000, seed = 1, max_len = 4096, mask = 0;
  std::vector<Input> corpus;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (sscanf(arg, "-runs=%lu", &runs) == 1 || sscanf(arg, "-seed=%lu", &seed) == 1 ||
        sscanf(arg, "-max_len=%lu", &max_len) == 1 ||
        sscanf(arg, "-close_fd_mask=%lu", &mask) == 1)
      continue;
    if (arg[0] == '-') {
      fprintf(stderr, "replay: unknown flag %s\n", arg);
      return 2;
    }
    load_corpus(arg, corpus);
  }
  if (corpus.empty()) corpus.emplace_back();

  std::string failure = "replay-failure-";
  const char* slash = strrchr(argv[0], '/');
  failure += slash != nullptr ? slash + 1 : argv[0];
  g_failure_path = failure.c_str();
  // The messages of the code under test, as libFuzzer's mask would.
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    if (mask & 1) dup2(null_fd, STDOUT_FILENO);
    if (mask & 2) dup2(null_fd, STDERR_FILENO);
  }

  Random random{seed * 0x9E3779B97F4A7C15ULL + 1};
  unsigned long done = 0;
  // Never a null pointer, even for no bytes, as libFuzzer passes.
  static const uint8_t kNoBytes[1] = {0};
  auto run = [&](const Input& input) {
    g_current = &input;
    keep_current();
    LLVMFuzzerTestOneInput(input.empty() ? kNoBytes : input.data(), input.size());
    ++done;
  };
  for (const Input& input : corpus) run(input);
  for (unsigned long i = 0; i < runs; ++i) {
    Input input = corpus[random.below(corpus.size())];
    mutate(input, corpus, random);
    if (input.size() > max_len) input.resize(max_len);
    run(input);
  }
  unlink(g_failure_path);
  printf("replay: %lu inputs (%zu seeds), seed %lu\n", done, corpus.size(), seed);
  return 0;
}
