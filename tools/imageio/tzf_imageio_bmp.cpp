// Uncompressed BMP reading and writing.
#include <bit>
#include <cstring>

#include "imageio/tzf_imageio.h"

namespace tzf::imageio {
namespace {

static_assert(std::endian::native == std::endian::little,
              "BMP records are copied straight from little-endian file bytes");

#pragma pack(push, 1)
struct BmpFileHeader {
  uint16_t type;  // "BM"
  uint32_t file_size;
  uint16_t reserved1;
  uint16_t reserved2;
  uint32_t pixel_offset;
};

struct BmpInfoHeader {
  uint32_t header_size;
  int32_t width;
  int32_t height;  // negative for top-down rows
  uint16_t planes;
  uint16_t bit_count;
  uint32_t compression;
  uint32_t image_size;
  int32_t x_pixels_per_meter;
  int32_t y_pixels_per_meter;
  uint32_t colors_used;
  uint32_t colors_important;
};
#pragma pack(pop)

static_assert(sizeof(BmpFileHeader) == 14);
static_assert(sizeof(BmpInfoHeader) == 40);

constexpr uint16_t kBmpType = 0x4d42;  // "BM"
constexpr uint32_t kCompressionRgb = 0;
constexpr int32_t kPixelsPerMeter = 2835;  // 72 dpi

uint64_t RowStride(int64_t width, int bits_per_pixel) {
  return (static_cast<uint64_t>(width) * static_cast<uint64_t>(bits_per_pixel) + 31) / 32 * 4;
}

}  // namespace

bool DecodeBmp(std::span<const uint8_t> data, Image& image, std::string& error) {
  BmpFileHeader file;
  BmpInfoHeader info;
  if (data.size() < sizeof file + sizeof info) {
    error = "BMP file too short";
    return false;
  }
  std::memcpy(&file, data.data(), sizeof file);
  std::memcpy(&info, data.data() + sizeof file, sizeof info);
  if (file.type != kBmpType) {
    error = "not a BMP file";
    return false;
  }
  if (info.header_size < sizeof info || info.header_size > data.size() - sizeof file) {
    error = "unsupported BMP header (only Windows BMP version 3 and later are read)";
    return false;
  }
  if (info.compression != kCompressionRgb) {
    error = "compressed BMP files are not supported (only BI_RGB)";
    return false;
  }
  if (info.bit_count != 8 && info.bit_count != 24) {
    error = "BMP depth " + std::to_string(info.bit_count) + " not supported (only 8 and 24)";
    return false;
  }
  const int64_t width = info.width;
  const bool top_down = info.height < 0;
  const int64_t height = top_down ? -int64_t{info.height} : int64_t{info.height};
  if (width <= 0 || height <= 0) {
    error = "BMP has an empty or negative size";
    return false;
  }
  if (width > kMaxDimension || height > kMaxDimension || width * height > kMaxPixels) {
    error = "BMP picture too large";
    return false;
  }

  Image result;
  result.width = width;
  result.height = height;
  result.bits_per_pixel = info.bit_count;
  if (info.bit_count == 8) {
    const uint64_t entries = info.colors_used == 0 ? 256 : info.colors_used;
    const uint64_t table_at = sizeof file + uint64_t{info.header_size};
    if (entries > 256 || table_at + 4 * entries > data.size()) {
      error = "BMP colour table is invalid or truncated";
      return false;
    }
    result.palette.assign(kPaletteBytes, 0);
    std::memcpy(result.palette.data(), data.data() + table_at, static_cast<size_t>(4 * entries));
    for (size_t e = 0; e < entries; ++e) result.palette[4 * e + 3] = 0;
    result.palette_entries = static_cast<int>(entries);
  }

  const uint64_t row_bytes = static_cast<uint64_t>(width) * (info.bit_count / 8);
  const uint64_t stride = RowStride(width, info.bit_count);
  // The padding after the last row is not required to be present.
  const uint64_t needed =
      uint64_t{file.pixel_offset} + stride * static_cast<uint64_t>(height - 1) + row_bytes;
  if (needed > data.size()) {
    error = "BMP pixel data is truncated";
    return false;
  }
  result.pixels.resize(static_cast<size_t>(row_bytes * static_cast<uint64_t>(height)));
  for (int64_t r = 0; r < height; ++r) {
    // Row r of the result is the r-th row from the top.
    const int64_t stored = top_down ? r : height - 1 - r;
    std::memcpy(result.pixels.data() + static_cast<uint64_t>(r) * row_bytes,
                data.data() + file.pixel_offset + static_cast<uint64_t>(stored) * stride,
                static_cast<size_t>(row_bytes));
  }
  image = std::move(result);
  return true;
}

bool EncodeBmp(const Image& image, std::vector<uint8_t>& out, std::string& error) {
  if (!ValidateImage(image, error)) return false;
  const uint64_t row_bytes = static_cast<uint64_t>(image.width) * (image.bits_per_pixel / 8);
  const uint64_t stride = RowStride(image.width, image.bits_per_pixel);
  const uint64_t table = image.bits_per_pixel == 8 ? kPaletteBytes : 0;
  const uint64_t offset = sizeof(BmpFileHeader) + sizeof(BmpInfoHeader) + table;
  const uint64_t pixel_bytes = stride * static_cast<uint64_t>(image.height);
  if (offset + pixel_bytes > 0xffffffffu) {
    error = "picture too large for a BMP file";
    return false;
  }

  BmpFileHeader file{};
  file.type = kBmpType;
  file.file_size = static_cast<uint32_t>(offset + pixel_bytes);
  file.pixel_offset = static_cast<uint32_t>(offset);
  BmpInfoHeader info{};
  info.header_size = sizeof info;
  info.width = static_cast<int32_t>(image.width);
  info.height = static_cast<int32_t>(image.height);
  info.planes = 1;
  info.bit_count = static_cast<uint16_t>(image.bits_per_pixel);
  info.compression = kCompressionRgb;
  info.image_size = static_cast<uint32_t>(pixel_bytes);
  info.x_pixels_per_meter = kPixelsPerMeter;
  info.y_pixels_per_meter = kPixelsPerMeter;
  info.colors_used = image.bits_per_pixel == 8 ? 256 : 0;

  out.assign(static_cast<size_t>(offset + pixel_bytes), 0);
  std::memcpy(out.data(), &file, sizeof file);
  std::memcpy(out.data() + sizeof file, &info, sizeof info);
  if (table != 0) {
    std::memcpy(out.data() + sizeof file + sizeof info, image.palette.data(), kPaletteBytes);
  }
  for (int64_t r = 0; r < image.height; ++r) {
    const uint64_t stored = static_cast<uint64_t>(image.height - 1 - r);
    std::memcpy(out.data() + offset + stored * stride,
                image.pixels.data() + static_cast<uint64_t>(r) * row_bytes,
                static_cast<size_t>(row_bytes));
  }
  return true;
}

}  // namespace tzf::imageio
