// tzfconv's output side: the checked view of the filter's two DIB blocks, BMP
// files written from them, the conversion to an Image for PNG, and the text
// of the progress bar.
#if HAVE_TZF_CONV

#include "tzfconv/dib_output.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tzfconv/progress_bar.h"

namespace {

using tzf::conv::DibView;

void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// An info block as the filter builds it.
std::vector<uint8_t> info_block(int32_t width, int32_t height, int bits) {
  const uint32_t table = bits == 8 ? 1024 : 0;
  std::vector<uint8_t> info(40 + table, 0);
  put32(info, 0, 40);
  put32(info, 4, static_cast<uint32_t>(width));
  put32(info, 8, static_cast<uint32_t>(height));
  info[12] = 1;
  info[14] = static_cast<uint8_t>(bits);
  put32(info, 32, table / 4);
  for (uint32_t i = 0; i < table; ++i) info[40 + i] = static_cast<uint8_t>(i % 4 == 3 ? 0 : i / 4);
  return info;
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

TEST(DibOutput, ReadsTrueColourBlocks) {
  const std::vector<uint8_t> info = info_block(5, 3, 24);
  const std::vector<uint8_t> pixels = counting(48);
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 5, 3, 24, view, error)) << error;
  EXPECT_EQ(view.row_stride, 16u);  // 15 bytes padded to 16
  EXPECT_EQ(view.pixel_length, 48u);
  EXPECT_EQ(view.info_length, 40u);
  EXPECT_EQ(view.colour_entries, 0u);
  EXPECT_EQ(view.colour_table, nullptr);
}

TEST(DibOutput, ReadsPaletteBlocks) {
  const std::vector<uint8_t> info = info_block(3, 2, 8);
  const std::vector<uint8_t> pixels = counting(8);
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 3, 2, 8, view, error)) << error;
  EXPECT_EQ(view.row_stride, 4u);
  EXPECT_EQ(view.info_length, 1064u);
  EXPECT_EQ(view.colour_entries, 256u);
  EXPECT_EQ(view.colour_table, info.data() + 40);
}

TEST(DibOutput, RefusesBlocksThatDisagreeWithThePictureInformation) {
  const std::vector<uint8_t> info = info_block(5, 3, 24);
  const std::vector<uint8_t> pixels = counting(48);
  DibView view;
  std::string error;
  EXPECT_FALSE(tzf::conv::ReadDib(info.data(), pixels.data(), 5, 4, 24, view, error));
  EXPECT_NE(error.find("disagrees"), std::string::npos);
  EXPECT_FALSE(tzf::conv::ReadDib(info.data(), pixels.data(), 5, 3, 8, view, error));
  EXPECT_FALSE(tzf::conv::ReadDib(info.data(), nullptr, 5, 3, 24, view, error));
  std::vector<uint8_t> odd = info;
  odd[0] = 12;  // not a 40-byte info header
  EXPECT_FALSE(tzf::conv::ReadDib(odd.data(), pixels.data(), 5, 3, 24, view, error));
}

TEST(DibOutput, BmpFileHeaderPointsPastTheColourTable) {
  const std::vector<uint8_t> info = info_block(3, 2, 8);
  const std::vector<uint8_t> pixels = counting(8);
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 3, 2, 8, view, error));
  uint8_t header[tzf::conv::kFileHeaderSize];
  ASSERT_TRUE(tzf::conv::MakeBmpFileHeader(view, header));
  const uint8_t expected[14] = {'B', 'M', 0x3E, 0x04, 0, 0, 0, 0, 0, 0, 0x36, 0x04, 0, 0};
  EXPECT_EQ(0, memcmp(header, expected, 14));  // size 14 + 1064 + 8, offset 1078
}

TEST(DibOutput, BmpFileIsHeaderThenBothBlocks) {
  const std::vector<uint8_t> info = info_block(5, 3, 24);
  const std::vector<uint8_t> pixels = counting(48);
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 5, 3, 24, view, error));
  const std::string path = ::testing::TempDir() + "dib_output_test.bmp";
  ASSERT_TRUE(tzf::conv::WriteBmpFile(path, view, error)) << error;
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> file(200);
  file.resize(fread(file.data(), 1, file.size(), f));
  fclose(f);
  remove(path.c_str());
  ASSERT_EQ(file.size(), 14u + 40 + 48);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[10], 54);
  EXPECT_TRUE(std::equal(info.begin(), info.end(), file.begin() + 14));
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), file.begin() + 54));
}

TEST(DibOutput, FailedWriteExplainsAndLeavesNothing) {
  const std::vector<uint8_t> info = info_block(5, 3, 24);
  const std::vector<uint8_t> pixels = counting(48);
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 5, 3, 24, view, error));
  const std::string path = ::testing::TempDir() + "no-such-folder-for-tzfconv/x.bmp";
  EXPECT_FALSE(tzf::conv::WriteBmpFile(path, view, error));
  EXPECT_FALSE(error.empty());
}

#if TZFCONV_HAVE_PNG
TEST(DibOutput, ImageRowsAreTopFirstWithoutPadding) {
  const std::vector<uint8_t> info = info_block(3, 2, 8);
  const std::vector<uint8_t> pixels = {1, 2, 3, 99, 4, 5, 6, 99};  // bottom row first
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 3, 2, 8, view, error));
  const tzf::imageio::Image image = tzf::conv::DibToImage(view);
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(image.bits_per_pixel, 8);
  EXPECT_EQ(image.pixels, (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
  EXPECT_EQ(image.palette_entries, 256);
  ASSERT_EQ(image.palette.size(), 1024u);
  EXPECT_EQ(image.palette[4 * 200 + 1], 200);
  EXPECT_EQ(image.palette[4 * 200 + 3], 0);
  EXPECT_TRUE(tzf::imageio::ValidateImage(image, error)) << error;
}

TEST(DibOutput, TrueColourImageKeepsBgrOrder) {
  const std::vector<uint8_t> info = info_block(1, 2, 24);
  const std::vector<uint8_t> pixels = {10, 20, 30, 0, 40, 50, 60, 0};
  DibView view;
  std::string error;
  ASSERT_TRUE(tzf::conv::ReadDib(info.data(), pixels.data(), 1, 2, 24, view, error));
  const tzf::imageio::Image image = tzf::conv::DibToImage(view);
  EXPECT_EQ(image.pixels, (std::vector<uint8_t>{40, 50, 60, 10, 20, 30}));
  EXPECT_TRUE(image.palette.empty());
}
#endif

TEST(ProgressBar, LineShowsPositionNameBarAndPercentage) {
  EXPECT_EQ(tzf::conv::FormatProgressLine(12, 40, "name.tzf", 45, 100),
            "[12/40] name.tzf #########...........   45%");
  EXPECT_EQ(tzf::conv::FormatProgressLine(1, 1, "a.tzf", 3, 3), "a.tzf ####################  100%");
  EXPECT_EQ(tzf::conv::FormatProgressLine(1, 1, "a.tzf", 0, 0), "a.tzf ....................    0%");
  const std::string long_name(50, 'x');
  const std::string line = tzf::conv::FormatProgressLine(1, 1, long_name + ".tzf", 1, 2);
  EXPECT_EQ(line.rfind("...", 0), 0u);
  EXPECT_EQ(line.find(' '), tzf::conv::kMaxNameLength);
}

}  // namespace

#endif  // HAVE_TZF_CONV
