#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "plugin/tzf_filter.h"

namespace {

struct InfoCase {
  int32_t index;
  int32_t buffer_length;
  const char* expected;  // null: nothing written, result 0
};

class PluginInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(PluginInfo, CopiesBoundedAndTerminated) {
  const InfoCase& c = GetParam();
  char buffer[300];
  memset(buffer, '#', sizeof buffer);
  int32_t result = GetPluginInfo(c.index, buffer + 8, c.buffer_length);
  EXPECT_EQ(buffer[7], '#') << "wrote before the buffer";
  if (c.expected == nullptr) {
    EXPECT_EQ(result, 0);
    for (char ch : buffer) ASSERT_EQ(ch, '#');
    return;
  }
  EXPECT_EQ(result, static_cast<int32_t>(strlen(c.expected)));
  EXPECT_STREQ(buffer + 8, c.expected);
  EXPECT_EQ(buffer[8 + c.buffer_length], '#') << "wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Table, PluginInfo,
    ::testing::Values(InfoCase{0, 5, "00IN"}, InfoCase{0, 3, "00"}, InfoCase{0, 1, ""},
                      InfoCase{2, 256, "*.TZF"}, InfoCase{3, 256, "Tervax CG (.TZF)"},
                      InfoCase{3, 7, "Tervax"}, InfoCase{4, 256, nullptr},
                      InfoCase{100, 256, nullptr}, InfoCase{-1, 256, nullptr},
                      // A length below 1 would write before the buffer: nothing is written.
                      InfoCase{0, 0, nullptr}, InfoCase{0, -5, nullptr}));

TEST(PluginInfoName, FixedTextThenTwoBlanksThenCreditWithRelease) {
  char buffer[256];
  int32_t n = GetPluginInfo(1, buffer, sizeof buffer);
  std::string name(buffer, static_cast<size_t>(n));
  EXPECT_EQ(name.rfind("TZF to DIB filter ver0.01  ", 0), 0u) << name;
  EXPECT_EQ(name, std::string("TZF to DIB filter ver0.01  by the tzf-filter developers, release ") +
                      TZF_RELEASE);
}

TEST(PluginInfoName, ReleaseIsThreeNumbers) {
  const std::string release = TZF_RELEASE;
  int dots = 0;
  bool digit_before = false;
  for (char c : release) {
    if (c == '.') {
      EXPECT_TRUE(digit_before) << release;
      digit_before = false;
      ++dots;
    } else {
      EXPECT_TRUE(c >= '0' && c <= '9') << release;
      digit_before = true;
    }
  }
  EXPECT_EQ(dots, 2) << release;
  EXPECT_TRUE(digit_before) << release;
}

TEST(PluginInfoName, NullBufferWritesNothing) { EXPECT_EQ(GetPluginInfo(0, nullptr, 10), 0); }

TEST(Preview, IsNeverProvided) {
  TzfLocalHandle a = reinterpret_cast<TzfLocalHandle>(1);
  EXPECT_EQ(GetPreview(nullptr, 0, 0, nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(GetPreview("x.tzf", 5, 1, &a, &a, nullptr, 7), -1);
}

}  // namespace
