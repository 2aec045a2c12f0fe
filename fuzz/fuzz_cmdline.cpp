// parse_cmdline_file on arbitrary file contents (run with -max_len=4096 so
// lines run past the 1022-character cut). Each result is checked against
// what the command line itself says, worked out here from the text alone.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "bootargs/boot_args.h"
#include "bootargs/cmdline.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kLineChars = 1022;  // what one fgets of a 1024-byte buffer keeps

MemFile g_file;

// The line as the program gets it: the first line, at most kLineChars
// characters, up to a NUL, without its newline.
std::string first_line(const uint8_t* data, size_t size) {
  std::string line;
  for (size_t i = 0; i < size && i < kLineChars; ++i) {
    if (data[i] == '\n') break;
    if (data[i] == '\0') break;
    line += static_cast<char>(data[i]);
  }
  return line;
}

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < line.size()) {
    const size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::vector<std::string> split_names(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(',', start), list.size());
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string after_first_equals(const std::string& word) {
  const size_t equals = word.find('=');
  return equals == std::string::npos ? word : word.substr(equals + 1);
}

// The pieces of a word split at '=', runs of '=' counting as one and a
// leading '=' skipped.
std::vector<std::string> equals_pieces(const std::string& word) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < word.size()) {
    const size_t end = std::min(word.find('=', start), word.size());
    if (end > start) pieces.push_back(word.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// The UUID forms' link directory, or empty for the other forms.
std::string uuid_link_dir(const std::string& root_word) {
  if (root_word.find("PARTUUID=") != std::string::npos) return "/dev/disk/by-partuuid/";
  if (root_word.find("UUID=") != std::string::npos) return "/dev/disk/by-uuid/";
  return "";
}

// A UUID form names the word's third '='-piece; without one the line is
// refused.
bool uuid_form_has_value(const std::string& root_word) {
  return equals_pieces(root_word).size() >= 3;
}

void check_root_path(const std::string& root_word, const std::string& path) {
  std::string expected;
  const std::string link_dir = uuid_link_dir(root_word);
  if (!link_dir.empty()) {
    const std::vector<std::string> pieces = equals_pieces(root_word);
    if (pieces.size() < 3)
      fuzz_fail("root argument %s accepted without a third '=' piece",
                fuzz_escape(root_word).c_str());
    expected = link_dir + pieces[2];
  } else if (root_word.find("/dev/") != std::string::npos) {
    expected = after_first_equals(root_word);
  } else {
    expected = "/dev/" + after_first_equals(root_word);
  }
  if (path != expected)
    fuzz_fail("root argument %s gave path %s; expected %s",
              fuzz_escape(root_word).c_str(), fuzz_escape(path).c_str(),
              fuzz_escape(expected).c_str());
}

void check_fs_types(const std::string& type_word, const FsTypeNode* types) {
  std::vector<std::string> expected;
  if (!type_word.empty()) expected = split_names(after_first_equals(type_word));
  expected.push_back("ext4");

  size_t index = 0;
  for (const FsTypeNode* node = types; node != nullptr; node = node->next, ++index) {
    if (node->name == nullptr) fuzz_fail("type %zu has no name", index);
    const std::string name = node->name;
    if (name.empty() || name.find(',') != std::string::npos)
      fuzz_fail("type %zu is %s", index, fuzz_escape(name).c_str());
    if (index >= expected.size() || name != expected[index])
      fuzz_fail("rootfstype word %s: type %zu is %s, expected %s",
                fuzz_escape(type_word).c_str(), index, fuzz_escape(name).c_str(),
                index < expected.size() ? fuzz_escape(expected[index]).c_str()
                                        : "the end of the list");
  }
  if (index != expected.size())
    fuzz_fail("rootfstype word %s: %zu types, expected %zu ending in ext4",
              fuzz_escape(type_word).c_str(), index, expected.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz_silence_program_stderr(argc, argv);
  g_file = fuzz_make_memfile("quenvale-cmdline");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_rewrite_memfile(g_file, data, size);
  const uint64_t open_fds = fuzz_open_fds();

  BootArgs untouched = {};
  BootArgs* args = &untouched;
  const int result = parse_cmdline_file(g_file.path.c_str(), &args);

  const uint64_t open_after = fuzz_open_fds();
  if (open_after != open_fds)
    fuzz_fail("parse_cmdline_file changed the open descriptors: %#llx, was %#llx",
              static_cast<unsigned long long>(open_after),
              static_cast<unsigned long long>(open_fds));

  const std::string line = first_line(data, size);
  std::string root_word, type_word;
  for (const std::string& word : words_of(line)) {
    // The last word holding each key counts, as on a kernel command line.
    if (word.find("root=") != std::string::npos) root_word = word;
    if (word.find("rootfstype=") != std::string::npos) type_word = word;
  }

  if (result != 0) {
    if (result != -1) fuzz_fail("parse_cmdline_file returned %d", result);
    if (args != &untouched) fuzz_fail("handle written on failure");
    // Nothing but a missing root or a UUID form without its value may be
    // refused.
    const bool refusable = root_word.empty() ||
                           (!uuid_link_dir(root_word).empty() &&
                            !uuid_form_has_value(root_word));
    if (!refusable)
      fuzz_fail("line %s refused although it names root %s",
                fuzz_escape(line).c_str(), fuzz_escape(root_word).c_str());
    return 0;
  }

  if (args == &untouched || args == nullptr) fuzz_fail("no record on success");
  if (root_word.empty())
    fuzz_fail("line %s accepted without a root= word", fuzz_escape(line).c_str());
  if (args->root_path == nullptr) fuzz_fail("null root path");
  check_root_path(root_word, args->root_path);
  check_fs_types(type_word, args->fs_types);
  free_boot_args(&args);
  return 0;
}
