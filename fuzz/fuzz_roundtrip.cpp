// Encodes a picture the fuzzer chooses with both parses of the encoder and
// decodes the files through GetPicture: pixels and palette must come back
// exactly, and the optimal file is never larger than the greedy one.
//
// Input: byte 0 selects the depth (bit 0: 24 bits, else 8) and how many low
// bits of every pixel byte are kept (bits 1..3: 1 to 8, fewer bits give more
// repeats); bytes 1-2 give the width (1..300), byte 3 the height (1..64); the
// remaining bytes, repeated as needed, are the pixel bytes in decoding order.
// An 8-bit picture's palette is made from the same bytes.
#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "encoder/tzf_encoder.h"
#include "fuzz/fuzz_host.h"

namespace {

using tzf::encoder::Encode;
using tzf::encoder::EncodeResult;
using tzf::encoder::EncoderInput;
using tzf::encoder::EncodeStatus;
using tzf::encoder::ParseMode;

void check_decodes_back(const EncodeResult& encoded, const Bytes& pixels, const Bytes& palette,
                        int32_t width, int32_t height, int16_t bits, const char* what) {
  FUZZ_CHECK(encoded.status == EncodeStatus::kOk, "%s: the encoder refused %dx%d %d bits", what,
             width, height, bits);
  const Bytes& file = encoded.file;
  const PictureLayout layout = read_layout(file.data(), file.size());
  FUZZ_CHECK(layout.accepted && layout.width == width && layout.height == height &&
                 layout.bits_per_pixel == bits,
             "%s: the encoded header does not describe the picture", what);
  const ExactBuffer image = exact_copy(file);
  const HostResult r =
      host_get_picture(image.chars(), static_cast<int32_t>(image.size), 1, layout, nullptr, {});
  check_nothing_left(r, what);
  check_within_bounds(r, layout, what);
  FUZZ_CHECK(r.status == 0, "%s: GetPicture answered %d", what, r.status);
  const Bytes rows = to_dib_rows(pixels, width, height, bits);
  size_t at = 0;
  while (at < rows.size() && at < r.pixels.size() && rows[at] == r.pixels[at]) ++at;
  FUZZ_CHECK(r.pixels == rows, "%s: %dx%d %d bits: pixel byte %zu (row %zu) differs", what, width,
             height, bits, at, at / dib_stride(width, bits));
  FUZZ_CHECK(r.info.size() == 40 + palette.size() &&
                 std::equal(palette.begin(), palette.end(), r.info.begin() + 40),
             "%s: the colour table differs", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const int16_t bits = (data[0] & 1) != 0 ? 24 : 8;
  const uint8_t mask = static_cast<uint8_t>(0xFFu >> (7 - ((data[0] >> 1) & 7)));
  const int32_t width = 1 + static_cast<int32_t>((data[1] | data[2] << 8) % 300);
  const int32_t height = 1 + data[3] % 64;
  const uint8_t* source = data + 4;
  const size_t source_size = size - 4;

  const size_t bytes = static_cast<size_t>(width) * height * (bits / 8);
  Bytes pixels(bytes, 0);
  for (size_t i = 0; source_size != 0 && i < bytes; ++i) {
    pixels[i] = source[i % source_size] & mask;
  }
  Bytes palette;
  if (bits == 8) {
    palette.assign(1024, 0);
    for (size_t i = 0; i < 1024; ++i) {
      if (i % 4 != 3)
        palette[i] = static_cast<uint8_t>(i * 37 + (source_size ? source[i % source_size] : 0));
    }
  }

  EncoderInput input;
  input.width = width;
  input.height = height;
  input.bits_per_pixel = bits;
  input.pixels = pixels;
  input.palette = palette;
  const EncodeResult optimal = Encode(input, ParseMode::kOptimal);
  const EncodeResult greedy = Encode(input, ParseMode::kGreedy);
  check_decodes_back(optimal, pixels, palette, width, height, bits, "optimal parse");
  check_decodes_back(greedy, pixels, palette, width, height, bits, "greedy parse");
  FUZZ_CHECK(optimal.file.size() <= greedy.file.size(),
             "the optimal file (%zu bytes) is larger than the greedy one (%zu bytes)",
             optimal.file.size(), greedy.file.size());
  return 0;
}
