// Reading pictures of the common formats for tzfenc (ReadPicture), reading
// and writing PNG and BMP pictures, plus the conversions the TZF encoder
// needs (row order, palette expansion and palette reduction).
//
// Failures are reported through a false return value and a message; nothing
// throws apart from std::bad_alloc.
#ifndef TZF_TOOLS_IMAGEIO_TZF_IMAGEIO_H
#define TZF_TOOLS_IMAGEIO_TZF_IMAGEIO_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tzf::imageio {

inline constexpr int kPaletteBytes = 1024;  // 256 entries of B, G, R, 0
inline constexpr int64_t kMaxDimension = int64_t{1} << 20;
inline constexpr int64_t kMaxPixels = int64_t{1} << 28;

// An in-memory picture. Rows are stored TOP ROW FIRST (the order in which
// they appear on screen), tightly packed without padding: width bytes per
// row of palette indices for 8-bit, 3 * width bytes of B, G, R for 24-bit.
struct Image {
  int64_t width = 0;
  int64_t height = 0;
  int bits_per_pixel = 24;      // 8 or 24
  std::vector<uint8_t> pixels;  // width * height * bits_per_pixel / 8 bytes
  // 8-bit only: always kPaletteBytes bytes (B, G, R, 0 per entry); entries
  // at or beyond palette_entries are zero. Empty for 24-bit.
  std::vector<uint8_t> palette;
  int palette_entries = 0;
};

enum class ImageFormat { kUnknown, kPng, kBmp };

// Recognises a file by its first bytes.
ImageFormat DetectFormat(std::span<const uint8_t> data);

// Checks that dimensions, depth and buffer sizes of an Image agree.
bool ValidateImage(const Image& image, std::string& error);

// PNG input: paletted files keep their palette (8-bit, indices of lower bit
// depths widened); every other colour type becomes 24-bit RGB. 16-bit
// samples are scaled to 8 bits and any alpha channel or transparency chunk
// is dropped (not composited). No gamma correction is applied.
bool DecodePng(std::span<const uint8_t> data, Image& image, std::string& error);

// BMP input: uncompressed (BI_RGB) 8-bit paletted or 24-bit, bottom-up or
// top-down rows.
bool DecodeBmp(std::span<const uint8_t> data, Image& image, std::string& error);

// Chooses DecodePng or DecodeBmp from the first bytes.
bool DecodeImage(std::span<const uint8_t> data, Image& image, std::string& error);

// PNG output: 8-bit paletted or 24-bit RGB, 8 bits per sample.
bool EncodePng(const Image& image, std::vector<uint8_t>& out, std::string& error);

// BMP output: BI_RGB, 256-entry colour table for 8-bit, bottom-up rows
// padded to a multiple of four bytes.
bool EncodeBmp(const Image& image, std::vector<uint8_t>& out, std::string& error);

// A picture read for encoding, rows top row first, tightly packed.
struct Picture {
  enum class Layout { kIndex, kRgb, kRgba };
  int64_t width = 0;
  int64_t height = 0;
  Layout layout = Layout::kRgb;
  // kIndex: 1 byte per pixel into `palette`; kRgb: red, green, blue;
  // kRgba: red, green, blue, alpha (some pixel is not opaque).
  std::vector<uint8_t> pixels;
  uint8_t palette[256][3] = {};  // kIndex: red, green, blue of each entry
  int palette_size = 0;          // kIndex: 1 to 256
  bool paletted = false;         // the file has a colour table (kRgba too)
};

// Reads a JPEG, PNG, BMP, GIF (first frame), TGA or binary PNM picture
// through stb_image, the same on every platform. Paletted PNG, BMP and GIF
// files keep their colour table (kIndex) unless some pixel is not opaque;
// equal colours under two entries become the first, and an index past the
// table makes the file invalid. 16-bit samples keep their high byte; no
// gamma correction is applied. A header declaring more than kMaxPixels
// pixels (the library's TZF_DEFAULT_MAX_PIXELS), or more than its file
// could hold, is refused before anything is allocated.
bool ReadPicture(std::span<const uint8_t> data, Picture& picture, std::string& error);

// As ReadPicture, refusing a picture of more than max_pixels pixels (never
// more than kMaxPixels) from its header, before anything is allocated.
bool ReadPicture(std::span<const uint8_t> data, int64_t max_pixels, Picture& picture,
                 std::string& error);

bool LoadFileBytes(const std::string& path, std::vector<uint8_t>& data, std::string& error);
bool SaveFileBytes(const std::string& path, std::span<const uint8_t> data, std::string& error);

// Pixel rows in the encoder's decoding order (bottom row first), tightly
// packed.
std::vector<uint8_t> ToDecodingOrder(const Image& image);

// Builds an Image from rows in decoding order. For 8-bit pictures the
// palette holds up to kPaletteBytes bytes of B, G, R, 0 entries.
Image FromDecodingOrder(int64_t width, int64_t height, int bits_per_pixel,
                        std::span<const uint8_t> rows, std::span<const uint8_t> palette);

// 8-bit picture expanded through its palette to 24-bit; 24-bit copied.
Image ExpandToTrueColor(const Image& image);

// 24-bit picture reduced to 8-bit. A picture with at most 256 distinct
// colours gets exactly those colours (lossless, sorted by value); otherwise
// a fixed 6x7x6 colour cube (252 entries: 6 levels of red, 7 of green,
// 6 of blue) with nearest-colour mapping and no dithering. 8-bit copied.
Image QuantizeToPalette(const Image& image);

}  // namespace tzf::imageio

#endif  // TZF_TOOLS_IMAGEIO_TZF_IMAGEIO_H
