// Output files made from the two DIB blocks a filter hands over: the info
// block (40-byte info header, then the colour table of an 8-bit picture) and
// the pixel block (rows bottom row first, each padded to a multiple of four
// bytes).
#ifndef TZF_TOOLS_TZFCONV_DIB_OUTPUT_H
#define TZF_TOOLS_TZFCONV_DIB_OUTPUT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#if TZFCONV_HAVE_PNG
#include "imageio/tzf_imageio.h"
#endif

namespace tzf::conv {

inline constexpr uint32_t kInfoHeaderSize = 40;
inline constexpr uint32_t kFileHeaderSize = 14;

// The output name that stands for standard output (and the input name for
// standard input).
inline constexpr std::string_view kStandardStream = "-";

// A checked view of the two locked blocks.
struct DibView {
  int32_t width = 0;
  int32_t height = 0;  // rows, stored bottom row first
  int bits_per_pixel = 0;
  const uint8_t* info = nullptr;  // info header followed by the colour table
  uint32_t info_length = 0;       // 40 + colour table length
  const uint8_t* colour_table = nullptr;
  uint32_t colour_entries = 0;  // four bytes each: B, G, R, reserved
  const uint8_t* pixels = nullptr;
  uint32_t row_stride = 0;  // bytes per stored row, a multiple of four
  uint32_t pixel_length = 0;
};

// Reads the info header and checks it against what GetPictureInfo reported
// (width, height, depth). Describes the disagreement on failure.
bool ReadDib(const uint8_t* info, const uint8_t* pixels, int32_t expected_width,
             int32_t expected_height, int expected_bits, DibView& view, std::string& error);

// The 14-byte BMP file header that precedes the two blocks in a .bmp file.
// False when the file would exceed the format's 4 GiB limit.
bool MakeBmpFileHeader(const DibView& view, uint8_t (&header)[kFileHeaderSize]);

// Writes file header, info block and pixel block to `path`, or to standard
// output when it is kStandardStream. A failed write leaves no file behind.
bool WriteBmpFile(const std::string& path, const DibView& view, std::string& error);

#if TZFCONV_HAVE_PNG
// The picture as an imageio Image: rows top row first without padding; an
// 8-bit picture keeps its 256-entry colour table as palette.
imageio::Image DibToImage(const DibView& view);

bool WritePngFile(const std::string& path, const DibView& view, std::string& error);
#endif

}  // namespace tzf::conv

#endif  // TZF_TOOLS_TZFCONV_DIB_OUTPUT_H
