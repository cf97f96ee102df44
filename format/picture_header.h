// The 64-byte header of a TZF picture and the acceptance rule.
//
// Layout (little-endian), followed by the colour table (1024 bytes for 8-bit
// pictures, none for 24-bit), the flag stream, the command stream and the
// literal stream, in that order with no gaps:
//
//   0  4  magic "TZF\0"            24  2  bits per pixel (8 or 24)
//   4  4  version (2 or 3)         40  4  pixel-stream offset (1088 or 64)
//   8  4  header length (64)       48  4  flag-stream length
//  12  4  width                    52  4  command-stream length
//  16  4  height                   other bytes are not interpreted
#ifndef TZF_FORMAT_PICTURE_HEADER_H
#define TZF_FORMAT_PICTURE_HEADER_H

#include <stdint.h>

#include "plugin/tzf_filter.h"

constexpr uint32_t kHeaderLength = 64;
constexpr int32_t kPaletteStreamOffset = 1088;  // header + 256 four-byte colours
constexpr int32_t kTrueColourStreamOffset = 64;

struct PictureHeader {
  uint8_t magic[4];
  uint32_t version;
  int32_t header_length;
  int32_t width;
  int32_t height;
  int16_t bits_per_pixel;
  int32_t pixel_stream_offset;
  uint32_t flag_stream_length;
  uint32_t command_stream_length;
};

// Reads the fields out of the header's 64 raw bytes.
PictureHeader parse_header(const uint8_t (&raw)[kHeaderLength]);

// Applies the acceptance rule; on rejection stores 2 in *status when given.
bool header_check(const PictureHeader& header, int32_t* status);

// Writes all eight fields of the host's record from an accepted header.
void fill_picture_info(const PictureHeader& header, PictureInfoRecord& info);

#endif
