// Recognition (IsSupported) and picture information (GetPictureInfo) from
// every kind of source.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "plugin/status_codes.h"
#include "plugin/tzf_filter.h"
#include "source/platform.h"
#include "tests/test_pictures.h"

namespace {

Bytes valid_header(int16_t bits) {
  PictureParts parts;
  parts.width = 640;
  parts.height = 480;
  parts.bits_per_pixel = bits;
  parts.flags.assign(3, 0);
  return make_header(parts);
}

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// GetPictureInfo on a memory image of exactly the data's size.
int32_t info_from_memory(const Bytes& data, PictureInfoRecord* record) {
  ExactBuffer buffer = exact_copy(data);
  return GetPictureInfo(buffer.chars(), static_cast<int32_t>(data.size()), 1, record);
}

struct RuleCase {
  const char* name;
  int16_t bits;
  size_t at;  // byte to change; SIZE_MAX for none
  uint32_t value;
  int width;  // bytes written at `at`
  bool accepted;
};

class AcceptanceRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(AcceptanceRule, DecidesLikeTheRule) {
  const RuleCase& c = GetParam();
  Bytes h = valid_header(c.bits);
  if (c.at != SIZE_MAX) {
    for (int i = 0; i < c.width; ++i) h[c.at + i] = static_cast<uint8_t>(c.value >> (8 * i));
  }
  PictureInfoRecord record;
  memset(&record, 0x77, sizeof record);
  int32_t status = info_from_memory(h, &record);
  EXPECT_EQ(status, c.accepted ? kStatusSuccess : kStatusNotTzf);
  Bytes head(2048, 0);
  memcpy(head.data(), h.data(), h.size());
  ExactBuffer buffer = exact_copy(head);
  EXPECT_EQ(IsSupported(nullptr, reinterpret_cast<uintptr_t>(buffer.data.get())),
            c.accepted ? 1 : 0);
  if (!c.accepted) {
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) ASSERT_EQ(raw[i], 0x77) << "record written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcceptanceRule,
    ::testing::Values(
        RuleCase{"Valid8", 8, SIZE_MAX, 0, 0, true}, RuleCase{"Valid24", 24, SIZE_MAX, 0, 0, true},
        RuleCase{"Palette8WithOffset64", 8, 40, 64, 4, false},
        RuleCase{"True24WithOffset1088", 24, 40, 1088, 4, false},
        RuleCase{"Version1", 24, 4, 1, 4, false}, RuleCase{"Version2", 24, 4, 2, 4, true},
        RuleCase{"Version4", 24, 4, 4, 4, false},
        RuleCase{"VersionHuge", 24, 4, 0xFFFFFFFFu, 4, false},
        RuleCase{"HeaderLength63", 24, 8, 63, 4, false}, RuleCase{"Bits16", 24, 24, 16, 2, false},
        RuleCase{"Bits32", 24, 24, 32, 2, false},
        RuleCase{"BitsFieldIsSixteenBitsWide", 24, 26, 0xFFFF, 2, true},
        RuleCase{"MagicLowerCase", 24, 0, 't', 1, false},
        RuleCase{"MagicFourthByte", 24, 3, 'X', 1, false},
        RuleCase{"UninterpretedBytesIgnored", 8, 56, 0xDEADBEEF, 4, true},
        RuleCase{"NegativeWidthStillAccepted", 24, 12, 0xFFFFFFFFu, 4, true}),
    [](const auto& test_info) { return test_info.param.name; });

TEST(AcceptanceRule, TruncatedHeadersAreZeroFilled) {
  // The rule reads up to byte 43: a 24-bit header needs 41 bytes (offset 64
  // has a zero high part), an 8-bit one 42 (offset 1088 = 0x440).
  struct Case {
    int16_t bits;
    size_t shortest_accepted;
  } cases[] = {{24, 41}, {8, 42}};
  for (const Case& c : cases) {
    Bytes h = valid_header(c.bits);
    for (size_t length = 0; length <= h.size(); ++length) {
      Bytes cut(h.begin(), h.begin() + static_cast<ptrdiff_t>(length));
      PictureInfoRecord record;
      int32_t status = info_from_memory(cut, &record);
      EXPECT_EQ(status, length >= c.shortest_accepted ? kStatusSuccess : kStatusNotTzf)
          << c.bits << " bits cut to " << length;
    }
  }
}

TEST(PictureInfo, WritesEveryFieldInOrder) {
  Bytes h = valid_header(24);
  PictureInfoRecord record;
  memset(&record, 0x55, sizeof record);
  ASSERT_EQ(info_from_memory(h, &record), kStatusSuccess);
  static_assert(sizeof(PictureInfoRecord) == 26);
  uint8_t expected[26] = {};
  uint32_t w = 640, ht = 480;
  memcpy(expected + 8, &w, 4);
  memcpy(expected + 12, &ht, 4);
  expected[20] = 24;
  EXPECT_EQ(memcmp(&record, expected, 26), 0);
}

TEST(PictureInfo, EverySourceKind) {
  Bytes picture = valid_header(8);
  put32(picture, 12, 33);
  put32(picture, 16, 7);
  TempFile at_start(picture);
  Bytes shifted(1000 + picture.size(), 0xAB);
  std::copy(picture.begin(), picture.end(), shifted.begin() + 1000);
  TempFile at_offset(shifted);
  struct Case {
    const char* what;
    const char* source;
    int32_t offset;
  } cases[] = {{"file", at_start.path.c_str(), 0},
               {"file at offset", at_offset.path.c_str(), 1000}};
  for (const Case& c : cases) {
    PictureInfoRecord record{};
    ASSERT_EQ(GetPictureInfo(c.source, c.offset, 0, &record), kStatusSuccess) << c.what;
    EXPECT_EQ(record.width, 33) << c.what;
    EXPECT_EQ(record.height, 7) << c.what;
    EXPECT_EQ(record.color_depth, 8) << c.what;
  }
  PictureInfoRecord record{};
  ASSERT_EQ(info_from_memory(picture, &record), kStatusSuccess);
  EXPECT_EQ(record.width, 33);
}

TEST(PictureInfo, FailuresLeaveTheRecordAlone) {
  Bytes picture = valid_header(24);
  TempFile file(picture);
  struct Case {
    const char* what;
    const char* source;
    int32_t offset;
    uint32_t flags;
    int32_t status;
  } cases[] = {
      {"missing file", "/nonexistent/tzf/x.tzf", 0, 0, kStatusFileError},
      {"null file name", nullptr, 0, 0, kStatusFileError},
      {"negative offset", file.path.c_str(), -1, 0, kStatusFileError},
      {"offset past the end", file.path.c_str(), 5000, 0, kStatusNotTzf},
      {"null memory image", nullptr, 64, 1, kStatusNotTzf},
      {"negative memory length", file.path.c_str(), -64, 1, kStatusNotTzf},
  };
  for (const Case& c : cases) {
    PictureInfoRecord record;
    memset(&record, 0x66, sizeof record);
    EXPECT_EQ(GetPictureInfo(c.source, c.offset, c.flags, &record), c.status) << c.what;
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) ASSERT_EQ(raw[i], 0x66) << c.what;
  }
}

TEST(PictureInfo, NullRecordFailsWithoutCrashing) {
  EXPECT_EQ(info_from_memory(valid_header(24), nullptr), kStatusOutOfMemory);
  EXPECT_EQ(info_from_memory(Bytes(64, 0), nullptr), kStatusNotTzf);
}

TEST(IsSupported, LooksOnlyAtTheFirst64Bytes) {
  Bytes head(2048, 0xFF);
  Bytes h = valid_header(24);
  memcpy(head.data(), h.data(), h.size());
  ExactBuffer buffer = exact_copy(head);
  EXPECT_EQ(
      IsSupported(reinterpret_cast<const char*>(1), reinterpret_cast<uintptr_t>(buffer.data.get())),
      1);
}

TEST(IsSupported, BorrowedHandleIsReadFromItsPositionAndRestored) {
  Bytes contents(600, 0x11);
  Bytes h = valid_header(8);
  contents.insert(contents.end(), h.begin(), h.end());
  contents.resize(3000, 0x22);
  TempFile file(contents);
  HANDLE handle = CreateFileA(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  struct Case {
    uint32_t position;
    int32_t expected;
  } cases[] = {{600, 1}, {0, 0}, {601, 0}, {2990, 0}};
  for (const Case& c : cases) {
    SetFilePointer(handle, static_cast<LONG>(c.position), nullptr, FILE_BEGIN);
    EXPECT_EQ(IsSupported(nullptr, reinterpret_cast<uintptr_t>(handle)), c.expected) << c.position;
    EXPECT_EQ(SetFilePointer(handle, 0, nullptr, FILE_CURRENT), c.position);
  }
  CloseHandle(handle);
}

TEST(IsSupported, BadSourcesAnswerNo) {
  EXPECT_EQ(IsSupported(nullptr, 0xFFF0), 0);  // no such handle
  Bytes three = {'T', 'Z', 'F'};
  Bytes head(2048, 0);
  memcpy(head.data(), three.data(), 3);
  ExactBuffer buffer = exact_copy(head);
  EXPECT_EQ(IsSupported(nullptr, reinterpret_cast<uintptr_t>(buffer.data.get())), 0);
}

}  // namespace
