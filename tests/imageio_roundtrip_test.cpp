// Real pictures encoded by the encoder at both depths and with both parses,
// then decoded through GetPicture: pixels and colour table identical.
#include <gtest/gtest.h>

#include "encoder/tzf_encoder.h"
#include "imageio/tzf_imageio.h"
#include "plugin/status_codes.h"
#include "tests/picture_decode.h"
#include "tests/real_pictures.h"

namespace {

namespace enc = tzf::encoder;
namespace io = tzf::imageio;

struct Outcome {
  size_t size = 0;
  bool ok = false;
};

// Encodes, decodes from memory, and compares every byte of both blocks.
Outcome round_trip(const io::Image& image, enc::ParseMode mode, const std::string& what) {
  Bytes rows = io::ToDecodingOrder(image);
  enc::EncoderInput input{image.width, image.height, image.bits_per_pixel, rows, image.palette};
  enc::EncodeResult encoded = enc::Encode(input, mode);
  EXPECT_EQ(encoded.status, enc::EncodeStatus::kOk) << what;
  if (encoded.status != enc::EncodeStatus::kOk) return {};
  Decoded d = decode_memory(encoded.file);
  EXPECT_EQ(d.status, kStatusSuccess) << what;
  if (d.status != kStatusSuccess) return {};
  const int32_t w = static_cast<int32_t>(image.width);
  const int32_t h = static_cast<int32_t>(image.height);
  const int16_t bits = static_cast<int16_t>(image.bits_per_pixel);
  bool same = d.pixels == to_dib_rows(rows, w, h, bits);
  EXPECT_TRUE(same) << what << ": pixels differ";
  if (bits == 8) {
    bool palette_same = Bytes(d.info.begin() + 40, d.info.end()) == image.palette;
    EXPECT_TRUE(palette_same) << what << ": colour table differs";
    same = same && palette_same;
  }
  return {encoded.file.size(), same};
}

TEST(RealPictures, RoundTripAtBothDepthsAndBothParses) {
  std::vector<std::string> files = real_pictures("", ".png");
  if (files.empty()) GTEST_SKIP() << "no real pictures fetched (configure with TZF_TEST_IMAGES)";
  int paletted = 0, padded = 0;
  for (const std::string& file : files) {
    Bytes data;
    std::string error;
    io::Image image;
    ASSERT_TRUE(io::LoadFileBytes(file, data, error)) << error;
    ASSERT_TRUE(io::DecodePng(data, image, error)) << file << ": " << error;
    paletted += image.bits_per_pixel == 8;
    io::Image both[2] = {image.bits_per_pixel == 8 ? image : io::QuantizeToPalette(image),
                         io::ExpandToTrueColor(image)};
    for (const io::Image& at_depth : both) {
      padded += (at_depth.width * at_depth.bits_per_pixel / 8) % 4 != 0;
      std::string what = file + " at " + std::to_string(at_depth.bits_per_pixel) + " bits";
      Outcome optimal = round_trip(at_depth, enc::ParseMode::kOptimal, what + ", optimal");
      Outcome greedy = round_trip(at_depth, enc::ParseMode::kGreedy, what + ", greedy");
      ASSERT_TRUE(optimal.ok && greedy.ok) << what;
      EXPECT_LE(optimal.size, greedy.size) << what;
    }
  }
  // The fetched set must exercise paletted input and rows that need pad.
  EXPECT_GT(paletted, 0);
  EXPECT_GT(padded, 0);
}

}  // namespace
