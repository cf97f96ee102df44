#include "encoder/tzf_encoder.h"

#include <algorithm>
#include <cstring>

#include "tzf/tzf.h"

namespace tzf::encoder {

EncodeStatus ValidateInput(const EncoderInput& input) {
  if (input.width <= 0 || input.height <= 0) return EncodeStatus::kInvalidDimensions;
  if (input.width > kMaxDimension || input.height > kMaxDimension ||
      input.width * input.height > kMaxPixels) {
    return EncodeStatus::kTooLarge;
  }
  if (input.bits_per_pixel != 8 && input.bits_per_pixel != 24) {
    return EncodeStatus::kUnsupportedDepth;
  }
  const uint64_t expected =
      static_cast<uint64_t>(input.width * input.height * (input.bits_per_pixel / 8));
  if (input.pixels.size() != expected) return EncodeStatus::kPixelBufferSize;
  if (input.bits_per_pixel == 8 && input.palette.size() != kPaletteSize) {
    return EncodeStatus::kMissingPalette;
  }
  return EncodeStatus::kOk;
}

EncodeResult Encode(const EncoderInput& input, ParseMode mode) {
  EncodeResult result;
  result.status = ValidateInput(input);
  if (result.status != EncodeStatus::kOk) return result;

  // The library takes rows top first; a negative stride reads the rows of
  // the decoding order (bottom first) from the buffer's end.
  const size_t bytes_per_pixel = static_cast<size_t>(input.bits_per_pixel / 8);
  const ptrdiff_t row_bytes =
      static_cast<ptrdiff_t>(input.width) * static_cast<ptrdiff_t>(bytes_per_pixel);
  uint8_t colours[256][3] = {};
  tzf_image image{};
  image.width = static_cast<uint32_t>(input.width);
  image.height = static_cast<uint32_t>(input.height);
  image.pixels = input.pixels.data() + (input.height - 1) * row_bytes;
  image.stride = -row_bytes;
  if (bytes_per_pixel == 1) {
    for (size_t i = 0; i < 256; ++i) {
      colours[i][0] = input.palette[4 * i + 2];
      colours[i][1] = input.palette[4 * i + 1];
      colours[i][2] = input.palette[4 * i];
    }
    image.format = TZF_FORMAT_INDEX;
    image.palette = colours;
    image.palette_size = 256;
  } else {
    image.format = TZF_FORMAT_NATIVE;
  }
  tzf_encode_options options{};
  options.effort = mode == ParseMode::kGreedy ? TZF_EFFORT_FAST : TZF_EFFORT_SMALLEST;
  size_t max_bytes = 0, work_bytes = 0;
  if (tzf_encode_size(&image, &options, &max_bytes, &work_bytes) != TZF_OK) {
    result.status = EncodeStatus::kTooLarge;
    return result;
  }
  std::vector<uint8_t> work(work_bytes);
  result.file.resize(max_bytes);
  tzf_encode_result encoded{};
  if (tzf_encode(&image, &options, work.data(), work.size(), result.file.data(), result.file.size(),
                 &encoded) != TZF_OK) {
    result.status = EncodeStatus::kTooLarge;
    result.file.clear();
    return result;
  }
  result.file.resize(encoded.size);
  EncodeStats& st = result.stats;
  st.literal_pixels = static_cast<int64_t>(encoded.literal_pixels);
  st.run_count = static_cast<int64_t>(encoded.runs);
  st.run_pixels = static_cast<int64_t>(encoded.run_pixels);
  st.flag_bytes = (st.literal_pixels + st.run_count + 7) / 8;
  st.command_bytes = st.run_count;
  st.literal_bytes = st.literal_pixels * static_cast<int64_t>(bytes_per_pixel);
  return result;
}

const char* StatusMessage(EncodeStatus status) {
  switch (status) {
    case EncodeStatus::kOk:
      return "ok";
    case EncodeStatus::kInvalidDimensions:
      return "width and height must be positive";
    case EncodeStatus::kTooLarge:
      return "picture too large (at most 1048576 pixels per side and 268435456 pixels)";
    case EncodeStatus::kUnsupportedDepth:
      return "bits per pixel must be 8 or 24";
    case EncodeStatus::kPixelBufferSize:
      return "pixel buffer size does not match width * height * bytes per pixel";
    case EncodeStatus::kMissingPalette:
      return "8-bit pictures need a 1024-byte colour table";
  }
  return "unknown error";
}

}  // namespace tzf::encoder
