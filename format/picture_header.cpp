#include "format/picture_header.h"

#include <string.h>

#include "plugin/status_codes.h"

namespace {

uint32_t load_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t load_i32(const uint8_t* p) { return static_cast<int32_t>(load_u32(p)); }

}  // namespace

PictureHeader parse_header(const uint8_t (&raw)[kHeaderLength]) {
  PictureHeader header{};
  memcpy(header.magic, raw, 4);
  header.version = load_u32(raw + 4);
  header.header_length = load_i32(raw + 8);
  header.width = load_i32(raw + 12);
  header.height = load_i32(raw + 16);
  header.bits_per_pixel = static_cast<int16_t>(raw[24] | raw[25] << 8);
  header.pixel_stream_offset = load_i32(raw + 40);
  header.flag_stream_length = load_u32(raw + 48);
  header.command_stream_length = load_u32(raw + 52);
  return header;
}

bool header_check(const PictureHeader& header, int32_t* status) {
  static const uint8_t kMagic[4] = {'T', 'Z', 'F', 0};
  bool accepted =
      memcmp(header.magic, kMagic, 4) == 0 && header.version - 2u <= 1u &&
      header.header_length == static_cast<int32_t>(kHeaderLength) &&
      ((header.bits_per_pixel == 8 && header.pixel_stream_offset == kPaletteStreamOffset) ||
       (header.bits_per_pixel == 24 && header.pixel_stream_offset == kTrueColourStreamOffset));
  if (!accepted && status != nullptr) *status = kStatusNotTzf;
  return accepted;
}

void fill_picture_info(const PictureHeader& header, PictureInfoRecord& info) {
  info.host_defined_0 = 0;
  info.host_defined_1 = 0;
  info.width = header.width;
  info.height = header.height;
  info.host_defined_2 = 0;
  info.host_defined_3 = 0;
  info.color_depth = header.bits_per_pixel;
  info.host_defined_4 = 0;
}
