// The 64-byte header of a TZF picture and the acceptance rule.
#ifndef TZF_CODEC_PICTURE_HEADER_H
#define TZF_CODEC_PICTURE_HEADER_H

#include <stddef.h>
#include <stdint.h>

#include "codec/format.h"

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

// Reads the fields out of the first `size` bytes of `data`; bytes missing
// from short data read as zero.
PictureHeader parse_header(const uint8_t* data, size_t size);

// The acceptance rule, tested in this order: the magic, version 2 or 3,
// header length 64, then 8 bits with the streams at 1088 or 24 bits with the
// streams at 64.
bool header_accepted(const PictureHeader& header);

// Bytes of the colour table of an accepted header: 1024 or 0.
inline uint32_t colour_table_length(const PictureHeader& header) {
  return static_cast<uint32_t>(header.pixel_stream_offset) - kHeaderLength;
}

// Bytes per stored pixel of an accepted header: 1 or 3.
inline uint32_t stored_bytes_per_pixel(const PictureHeader& header) {
  return static_cast<uint32_t>(header.bits_per_pixel) / 8;
}

#endif
