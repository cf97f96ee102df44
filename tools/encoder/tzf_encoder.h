// Encoder for TZF pictures: turns a picture held in decoding order into a
// complete .tzf file.
//
// A picture is a sequence of pixels numbered in decoding order, pixel
// i = row * width + column, with row 0 being the bottom row of the picture.
// Each pixel is encoded either as a literal (one flag bit 0 plus the pixel
// bytes) or as part of a run (one flag bit 1 plus one command byte) that
// copies 3..18 pixels from a fixed displacement behind the current pixel.
//
// The library has no global state and reports failures through status codes.
#ifndef TZF_TOOLS_ENCODER_TZF_ENCODER_H
#define TZF_TOOLS_ENCODER_TZF_ENCODER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/format.h"

namespace tzf::encoder {

// The format's constants come from the codec, in the encoder's own types.
inline constexpr uint32_t kFormatVersion = ::kFormatVersion;
inline constexpr int kHeaderSize = static_cast<int>(::kHeaderLength);
inline constexpr int kPaletteSize = static_cast<int>(::kColourTableLength);  // B, G, R, 0 each
inline constexpr int kMinRun = static_cast<int>(::kMinRun);
inline constexpr int kMaxRun = static_cast<int>(::kMaxRun);

// Largest accepted width or height, and largest accepted pixel count.
inline constexpr int64_t kMaxDimension = int64_t{1} << 20;
inline constexpr int64_t kMaxPixels = int64_t{1} << 28;

using Displacement = ::Displacement;

// Run sources, selected by the high four bits of a command byte.
inline constexpr std::array<Displacement, 16> kDisplacements = std::to_array(kDisplacementTable);

// Distance in decoding order from a run's target pixel to its source pixel
// (negative means the source precedes the target).
constexpr int64_t DisplacementOffset(int index, int64_t width) {
  const Displacement& d = kDisplacements[static_cast<size_t>(index)];
  return int64_t{d.dy} * width + d.dx;
}

enum class ParseMode {
  kOptimal,  // smallest possible file
  kGreedy,   // longest run at each pixel (lowest table index on ties)
};

struct EncoderInput {
  int64_t width = 0;
  int64_t height = 0;
  int bits_per_pixel = 24;  // 8 (palette indices) or 24 (B, G, R)
  // width * height * bits_per_pixel / 8 bytes, bottom row first, rows
  // tightly packed without padding.
  std::span<const uint8_t> pixels;
  // 8-bit pictures only: kPaletteSize bytes, entries B, G, R, 0.
  std::span<const uint8_t> palette;
};

enum class EncodeStatus {
  kOk,
  kInvalidDimensions,  // width or height <= 0
  kTooLarge,           // beyond kMaxDimension / kMaxPixels
  kUnsupportedDepth,   // bits_per_pixel is neither 8 nor 24
  kPixelBufferSize,    // pixels.size() does not match the dimensions
  kMissingPalette,     // 8-bit picture without a kPaletteSize-byte palette
};

struct EncodeStats {
  int64_t literal_pixels = 0;
  int64_t run_count = 0;
  int64_t run_pixels = 0;
  int64_t flag_bytes = 0;
  int64_t command_bytes = 0;
  int64_t literal_bytes = 0;
};

struct EncodeResult {
  EncodeStatus status = EncodeStatus::kOk;
  std::vector<uint8_t> file;  // complete .tzf file; empty unless status is kOk
  EncodeStats stats;
};

// Checks the input record without encoding anything.
EncodeStatus ValidateInput(const EncoderInput& input);

// Encodes the picture. In kOptimal mode the file has the minimum size
// reachable with runs whose sources lie inside the already decoded pixels.
EncodeResult Encode(const EncoderInput& input, ParseMode mode = ParseMode::kOptimal);

// Human-readable description of a status code (static storage).
const char* StatusMessage(EncodeStatus status);

}  // namespace tzf::encoder

#endif  // TZF_TOOLS_ENCODER_TZF_ENCODER_H
