// A second decoder, written literally from the decoding rules: pixel by
// pixel, one byte at a time, with no shortcut and nothing shared with the
// library (not even the displacement table). It is slow on purpose and is
// the reference the tests and the fuzz targets compare the library with.
#ifndef TZF_TESTS_ORACLE_DECODER_H
#define TZF_TESTS_ORACLE_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "plugin/tzf_filter.h"
#include "tests/picture_decode.h"
#include "tests/test_pictures.h"

// The header fields the oracle reads, from the first 64 bytes (missing
// bytes read as zero). Only meaningful for data that passes the acceptance
// rule.
struct OracleHeader {
  int32_t width;
  int32_t height;
  uint32_t bytes_per_pixel;  // 1 or 3
  uint64_t flag_start;       // 1088 or 64
  uint64_t flag_length;      // as declared
  uint64_t command_length;   // as declared
};
OracleHeader oracle_header(const uint8_t* data, size_t size);

// Every pixel of a picture with positive width and height, in decoding order
// (row 0 is the picture's bottom row), rows packed without pad.
Bytes oracle_packed_pixels(const uint8_t* data, size_t size);

// GetPicture's result done by hand on a memory image, with the oracle as the
// decoder: the blocks, status and progress calls GetPicture must produce.
// Only for files whose header passes the acceptance rule.
Decoded oracle_get_picture(const Bytes& file, ProgressCallback progress, intptr_t host_data);

#endif
