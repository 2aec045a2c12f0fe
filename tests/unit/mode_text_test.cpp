#include <sys/stat.h>

#include "devnodes/mode_text.h"
#include "test_support.h"

namespace {

constexpr int kRejected = -1;

struct ModeCase {
  const char* text;
  int expected;  // the mode, or kRejected
};

// With a file-creation mask of 022 where it matters.
// Two aligned cases a row keep the table short.
// clang-format off
const ModeCase kModeCases[] = {
    {"0666", 0666},         {"0622", 0622},
    {"0755", 0755},         {"7777", 07777},
    {"0", 0},               {"10000", kRejected},
    {"0644x", kRejected},   {"0999", kRejected},
    {" 0666", kRejected},   {"", 0666},
    {"-w", 0466},           {"a-w", 0444},
    {"=r", 0444},           {"=", 0},
    {"u=rwx,g=rx,o=", 0750}, {"g=r,o=g", 0644},
    {"u+rw-x", 0666},       {"u+X", 0666},
    {"u+x,g+X", 0776},      {"u", kRejected},
    {"ug", kRejected},      {",u", kRejected},
    {"u,", kRejected},      {"+a", kRejected},
    {"u+r,", 0666},         {",,u+r", 0666},
    {"u+", 0666},           {"a=rwxst", 07777},
    {"u+s", 04666},         {"o+t", 0666},
    {"+t", 01666},          {"a=,u=o", 0},
    {"u=rw,g=u,o=u", 0666}, {"o=rwx,u=o", 0767},
    {"u+x,a+X", 0777},      {"=x,u+X", 0111},
    {"uu-r", 0266},         {"u-r=w", 0266},
    {"u*r", kRejected},     {"=rq", kRejected},
};
// clang-format on

class ModeText : public testing::TestWithParam<ModeCase> {};

TEST_P(ModeText, YieldsTheModeOrRejects) {
  const ModeCase& c = GetParam();
  const mode_t saved = umask(022);
  uint32_t mode = 0xDEAD;
  const int result = parse_mode(c.text, &mode);
  EXPECT_EQ(umask(saved), 022u) << "the mask must be left as it was";
  if (c.expected == kRejected) {
    EXPECT_EQ(result, -1) << "'" << c.text << "' gave " << std::oct << mode;
  } else {
    ASSERT_EQ(result, 0) << "'" << c.text << "'";
    EXPECT_EQ(mode, static_cast<uint32_t>(c.expected))
        << "'" << c.text << "' gave " << std::oct << mode;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ModeText, testing::ValuesIn(kModeCases));

// Without who letters the mask protects bits; with them it does not.
TEST(ModeTextMask, OnlyClausesWithoutWhoLettersHonourTheMask) {
  const mode_t saved = umask(077);
  uint32_t plain = 0;
  uint32_t all = 0;
  EXPECT_EQ(parse_mode("+x", &plain), 0);
  EXPECT_EQ(parse_mode("a+x", &all), 0);
  umask(saved);
  EXPECT_EQ(plain, 0766u);
  EXPECT_EQ(all, 0777u);
}

}  // namespace
