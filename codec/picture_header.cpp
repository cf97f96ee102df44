#include "codec/picture_header.h"

#include <string.h>

namespace {

uint32_t load_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t load_i32(const uint8_t* p) { return static_cast<int32_t>(load_u32(p)); }

}  // namespace

PictureHeader parse_header(const uint8_t* data, size_t size) {
  uint8_t raw[kHeaderLength] = {};
  if (data != nullptr) memcpy(raw, data, size < kHeaderLength ? size : kHeaderLength);
  PictureHeader header{};
  memcpy(header.magic, raw + kFieldMagic, 4);
  header.version = load_u32(raw + kFieldVersion);
  header.header_length = load_i32(raw + kFieldHeaderLength);
  header.width = load_i32(raw + kFieldWidth);
  header.height = load_i32(raw + kFieldHeight);
  header.bits_per_pixel =
      static_cast<int16_t>(raw[kFieldBitsPerPixel] | raw[kFieldBitsPerPixel + 1] << 8);
  header.pixel_stream_offset = load_i32(raw + kFieldPixelStreamOffset);
  header.flag_stream_length = load_u32(raw + kFieldFlagStreamLength);
  header.command_stream_length = load_u32(raw + kFieldCommandStreamLength);
  return header;
}

bool header_accepted(const PictureHeader& header) {
  return memcmp(header.magic, kMagic, 4) == 0 && header.version - 2u <= 1u &&
         header.header_length == static_cast<int32_t>(kHeaderLength) &&
         ((header.bits_per_pixel == 8 && header.pixel_stream_offset == kPaletteStreamOffset) ||
          (header.bits_per_pixel == 24 && header.pixel_stream_offset == kTrueColourStreamOffset));
}
