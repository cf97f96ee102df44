// PNG output and input through whichever back end the build has (libpng on
// Linux, stb on Windows): pixels survive a round trip, broken and oversized
// files are refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/tzf_imageio.h"

namespace {

namespace io = tzf::imageio;
using Bytes = std::vector<uint8_t>;

io::Image Picture(int64_t width, int64_t height, int bits) {
  io::Image image;
  image.width = width;
  image.height = height;
  image.bits_per_pixel = bits;
  const size_t count = static_cast<size_t>(width * height * (bits / 8));
  for (size_t i = 0; i < count; ++i) image.pixels.push_back(static_cast<uint8_t>(i * 37 + 11));
  if (bits == 8) {
    image.palette.assign(io::kPaletteBytes, 0);
    image.palette_entries = 256;
    for (int e = 0; e < 256; ++e) {
      image.palette[4 * e + 0] = static_cast<uint8_t>(e);
      image.palette[4 * e + 1] = static_cast<uint8_t>(255 - e);
      image.palette[4 * e + 2] = static_cast<uint8_t>(e * 5);
    }
  }
  return image;
}

struct RoundTripCase {
  int64_t width, height;
  int bits;
};

class PngBackend : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PngBackend, PixelsSurviveARoundTrip) {
  const RoundTripCase& c = GetParam();
  const io::Image image = Picture(c.width, c.height, c.bits);
  Bytes png;
  std::string error;
  ASSERT_TRUE(io::EncodePng(image, png, error)) << error;
  EXPECT_EQ(io::DetectFormat(png), io::ImageFormat::kPng);
  io::Image back;
  ASSERT_TRUE(io::DecodePng(png, back, error)) << error;
  ASSERT_EQ(back.width, c.width);
  ASSERT_EQ(back.height, c.height);
  // libpng keeps a palette, stb hands over true colour: the colours agree.
  EXPECT_EQ(io::ExpandToTrueColor(back).pixels, io::ExpandToTrueColor(image).pixels);
}

INSTANTIATE_TEST_SUITE_P(Table, PngBackend,
                         ::testing::Values(RoundTripCase{1, 1, 24}, RoundTripCase{7, 3, 24},
                                           RoundTripCase{300, 2, 24}, RoundTripCase{1, 1, 8},
                                           RoundTripCase{5, 9, 8}, RoundTripCase{257, 4, 8}));

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBig32(Bytes& bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(value >> (24 - 8 * k));
}

// A valid 1x1 file whose header then claims another size (with a correct
// checksum, so only the size can make it fail).
Bytes WithClaimedSize(uint32_t width, uint32_t height) {
  Bytes png;
  std::string error;
  EXPECT_TRUE(io::EncodePng(Picture(1, 1, 24), png, error)) << error;
  // Signature (8), IHDR length (4), "IHDR" (4), width, height, ...; the CRC
  // covers the type and the 13 data bytes.
  PutBig32(png, 16, width);
  PutBig32(png, 20, height);
  PutBig32(png, 29, Crc32(png.data() + 12, 17));
  return png;
}

struct RefusedCase {
  const char* what;
  Bytes data;
};

TEST(PngBackendRefuses, BrokenAndOversizedFiles) {
  Bytes good;
  std::string error;
  ASSERT_TRUE(io::EncodePng(Picture(6, 6, 24), good, error)) << error;
  const RefusedCase cases[] = {
      {"empty", {}},
      {"signature only", Bytes(good.begin(), good.begin() + 8)},
      {"cut in the header", Bytes(good.begin(), good.begin() + 20)},
      {"cut in the pixels", Bytes(good.begin(), good.end() - 20)},
      {"BMP magic", {'B', 'M', 0, 0}},
      {"wider than the limit", WithClaimedSize(uint32_t{1} << 21, 1)},
      {"more pixels than the limit", WithClaimedSize(70000, 70000)},
      {"zero width", WithClaimedSize(0, 1)},
  };
  for (const RefusedCase& c : cases) {
    io::Image image;
    error.clear();
    EXPECT_FALSE(io::DecodePng(c.data, image, error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
}

TEST(PngBackendRefuses, InvalidPicturesAreNotWritten) {
  io::Image image = Picture(4, 4, 24);
  image.pixels.pop_back();
  Bytes png;
  std::string error;
  EXPECT_FALSE(io::EncodePng(image, png, error));
  EXPECT_TRUE(png.empty());
  EXPECT_FALSE(error.empty());
}

}  // namespace
