// Tests for PNG/BMP reading and writing and the pixel conversions.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "imageio/tzf_imageio.h"

namespace {

using tzf::imageio::Image;
using tzf::imageio::ImageFormat;

Image RandomImage(int64_t w, int64_t h, int bpp, uint32_t seed) {
  std::mt19937 rng(seed);
  Image image;
  image.width = w;
  image.height = h;
  image.bits_per_pixel = bpp;
  image.pixels.resize(static_cast<size_t>(w * h * (bpp / 8)));
  for (auto& v : image.pixels) v = static_cast<uint8_t>(bpp == 8 ? rng() % 7 : rng());
  if (bpp == 8) {
    image.palette.assign(1024, 0);
    for (size_t i = 0; i < 7 * 4; ++i)
      image.palette[i] = i % 4 == 3 ? 0 : static_cast<uint8_t>(rng());
    image.palette_entries = 7;
  }
  return image;
}

void ExpectSamePicture(const Image& a, const Image& b) {
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.bits_per_pixel, b.bits_per_pixel);
  EXPECT_EQ(a.pixels, b.pixels);
  EXPECT_EQ(a.palette, b.palette);
}

TEST(ImageIoTest, BmpAndPngWriteThenReadRoundTrip) {
  uint32_t seed = 0;
  for (int bpp : {8, 24}) {
    for (int64_t w : {1, 2, 3, 4, 5, 13}) {
      for (int64_t h : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << " bpp " << bpp);
        const Image original = RandomImage(w, h, bpp, ++seed);
        std::string error;
        std::vector<uint8_t> bmp, png;
        ASSERT_TRUE(tzf::imageio::EncodeBmp(original, bmp, error)) << error;
        ASSERT_TRUE(tzf::imageio::EncodePng(original, png, error)) << error;
        EXPECT_EQ(tzf::imageio::DetectFormat(bmp), ImageFormat::kBmp);
        EXPECT_EQ(tzf::imageio::DetectFormat(png), ImageFormat::kPng);
        const size_t stride = static_cast<size_t>((w * bpp + 31) / 32 * 4);
        EXPECT_EQ(bmp.size(), 54 + (bpp == 8 ? 1024u : 0u) + stride * static_cast<size_t>(h));
        Image from_bmp, from_png;
        ASSERT_TRUE(tzf::imageio::DecodeImage(bmp, from_bmp, error)) << error;
        ASSERT_TRUE(tzf::imageio::DecodeImage(png, from_png, error)) << error;
        ExpectSamePicture(from_bmp, original);
        ExpectSamePicture(from_png, original);
        if (bpp == 8) {
          EXPECT_EQ(from_png.palette_entries, 7);
        }
      }
    }
  }
}

TEST(ImageIoTest, BmpLayoutBottomUpAndTopDown) {
  Image image;
  image.width = 2;
  image.height = 2;
  image.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // top row first
  std::vector<uint8_t> bmp;
  std::string error;
  ASSERT_TRUE(tzf::imageio::EncodeBmp(image, bmp, error));
  // The bottom row is stored first, each row padded to 8 bytes.
  const std::vector<uint8_t> rows(bmp.begin() + 54, bmp.end());
  EXPECT_EQ(rows, (std::vector<uint8_t>{7, 8, 9, 10, 11, 12, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0}));
  EXPECT_EQ(bmp[10], 54);
  EXPECT_EQ(bmp[28], 24);

  // The same picture stored top-down (negative height).
  std::vector<uint8_t> top_down(bmp.begin(), bmp.begin() + 54);
  top_down.insert(top_down.end(), bmp.begin() + 62, bmp.end());
  top_down.insert(top_down.end(), bmp.begin() + 54, bmp.begin() + 62);
  top_down[22] = top_down[23] = top_down[24] = top_down[25] = 0xff;  // height -1...
  top_down[22] = 0xfe;                                               // ... -2
  Image read;
  ASSERT_TRUE(tzf::imageio::DecodeBmp(top_down, read, error)) << error;
  ExpectSamePicture(read, image);
}

TEST(ImageIoTest, PngOtherColorTypesBecomeTrueColor) {
  struct Case {
    uint32_t format;
    std::vector<uint8_t> samples;   // 2x1 pixels in that format
    std::vector<uint8_t> expected;  // B, G, R
  };
  const Case cases[] = {
      {PNG_FORMAT_GRAY, {10, 200}, {10, 10, 10, 200, 200, 200}},
      {PNG_FORMAT_GA, {10, 0, 200, 99}, {10, 10, 10, 200, 200, 200}},
      {PNG_FORMAT_RGBA, {1, 2, 3, 0, 4, 5, 6, 255}, {3, 2, 1, 6, 5, 4}},
      {PNG_FORMAT_RGB, {1, 2, 3, 4, 5, 6}, {3, 2, 1, 6, 5, 4}},
  };
  for (const Case& c : cases) {
    png_image desc{};
    desc.version = PNG_IMAGE_VERSION;
    desc.width = 2;
    desc.height = 1;
    desc.format = c.format;
    png_alloc_size_t size = 0;
    ASSERT_TRUE(png_image_write_get_memory_size(desc, size, 0, c.samples.data(), 0, nullptr));
    std::vector<uint8_t> png(size);
    ASSERT_TRUE(
        png_image_write_to_memory(&desc, png.data(), &size, 0, c.samples.data(), 0, nullptr));
    png.resize(size);
    Image image;
    std::string error;
    ASSERT_TRUE(tzf::imageio::DecodePng(png, image, error)) << error;
    EXPECT_EQ(image.bits_per_pixel, 24);
    EXPECT_EQ(image.pixels, c.expected) << c.format;
  }
}

TEST(ImageIoTest, LowDepthPalettePngKeepsIndices) {
  png_image desc{};
  desc.version = PNG_IMAGE_VERSION;
  desc.width = 5;
  desc.height = 1;
  desc.format = PNG_FORMAT_RGB_COLORMAP;
  desc.colormap_entries = 3;
  const uint8_t colormap[] = {255, 0, 0, 0, 255, 0, 0, 0, 255};
  const uint8_t indices[] = {0, 1, 2, 1, 0};
  png_alloc_size_t size = 0;
  ASSERT_TRUE(png_image_write_get_memory_size(desc, size, 0, indices, 0, colormap));
  std::vector<uint8_t> png(size);
  ASSERT_TRUE(png_image_write_to_memory(&desc, png.data(), &size, 0, indices, 0, colormap));
  png.resize(size);
  ASSERT_GT(png.size(), 25u);
  EXPECT_EQ(png[24], 2) << "bit depth";
  EXPECT_EQ(png[25], PNG_COLOR_TYPE_PALETTE);
  Image image;
  std::string error;
  ASSERT_TRUE(tzf::imageio::DecodePng(png, image, error)) << error;
  EXPECT_EQ(image.bits_per_pixel, 8);
  EXPECT_EQ(image.palette_entries, 3);
  EXPECT_EQ(image.pixels, (std::vector<uint8_t>{0, 1, 2, 1, 0}));
  EXPECT_EQ(std::vector<uint8_t>(image.palette.begin(), image.palette.begin() + 12),
            (std::vector<uint8_t>{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0}));
}

TEST(ImageIoTest, RejectsBrokenFiles) {
  const Image good = RandomImage(9, 4, 24, 5);
  std::vector<uint8_t> bmp, png;
  std::string error;
  ASSERT_TRUE(tzf::imageio::EncodeBmp(good, bmp, error));
  ASSERT_TRUE(tzf::imageio::EncodePng(good, png, error));
  auto patched = [](std::vector<uint8_t> v, size_t at, uint8_t value) {
    v[at] = value;
    return v;
  };
  const std::vector<std::vector<uint8_t>> broken = {
      {},
      {'B', 'M'},
      std::vector<uint8_t>(bmp.begin(), bmp.end() - 20),  // truncated pixels
      patched(bmp, 30, 1),                                // RLE compression
      patched(bmp, 28, 16),                               // 16 bits per pixel
      patched(bmp, 14, 12),                               // old-style header
      patched(bmp, 18, 0),                                // zero width
      std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2),
      patched(png, 20, 0x7f),  // height field, breaks the header checksum
      {'G', 'I', 'F', '8', '9', 'a'},
  };
  for (size_t i = 0; i < broken.size(); ++i) {
    Image image;
    error.clear();
    EXPECT_FALSE(tzf::imageio::DecodeImage(broken[i], image, error)) << i;
    EXPECT_FALSE(error.empty()) << i;
  }
}

TEST(ImageIoTest, RowOrderAndPaletteConversions) {
  const Image image = RandomImage(3, 4, 8, 9);
  const std::vector<uint8_t> rows = tzf::imageio::ToDecodingOrder(image);
  EXPECT_TRUE(std::equal(rows.begin(), rows.begin() + 3, image.pixels.end() - 3));
  ExpectSamePicture(tzf::imageio::FromDecodingOrder(3, 4, 8, rows, image.palette), image);

  // Expanding and re-quantising a picture with few colours is lossless.
  const Image rgb = tzf::imageio::ExpandToTrueColor(image);
  ASSERT_EQ(rgb.pixels.size(), 36u);
  EXPECT_EQ(rgb.pixels[0], image.palette[4 * image.pixels[0]]);
  const Image back = tzf::imageio::QuantizeToPalette(rgb);
  EXPECT_EQ(tzf::imageio::ExpandToTrueColor(back).pixels, rgb.pixels);
  EXPECT_LE(back.palette_entries, 7);

  // Many colours: nearest entry of the colour cube, within half a step.
  const Image noise = RandomImage(64, 64, 24, 11);
  const Image cube = tzf::imageio::QuantizeToPalette(noise);
  EXPECT_EQ(cube.palette_entries, 252);
  const std::vector<uint8_t> mapped = tzf::imageio::ExpandToTrueColor(cube).pixels;
  for (size_t i = 0; i < mapped.size(); ++i) {
    const int limit = i % 3 == 1 ? 22 : 26;  // green has 7 levels, red and blue 6
    ASSERT_LE(std::abs(mapped[i] - noise.pixels[i]), limit) << i;
  }
}

TEST(ImageIoTest, FilesSaveAndLoad) {
  const std::string path = testing::TempDir() + "imageio_test.bmp";
  const std::vector<uint8_t> data = {1, 2, 3};
  std::vector<uint8_t> read;
  std::string error;
  ASSERT_TRUE(tzf::imageio::SaveFileBytes(path, data, error)) << error;
  ASSERT_TRUE(tzf::imageio::LoadFileBytes(path, read, error)) << error;
  EXPECT_EQ(read, data);
  std::remove(path.c_str());
  EXPECT_FALSE(tzf::imageio::LoadFileBytes(path, read, error));
  EXPECT_FALSE(tzf::imageio::SaveFileBytes("/nonexistent-dir/x.tzf", data, error));
  EXPECT_NE(error.find("/nonexistent-dir/x.tzf"), std::string::npos);
}

}  // namespace
