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

// How much of the picture the data held. A flag or command byte is missing
// when it lies inside its declared stream but past the end of the data, a
// literal byte when it lies past the end of the data; bytes past a declared
// stream read as zero without being missing.
struct OracleReport {
  bool truncated = false;  // some pixel's decision or bytes were missing
  uint64_t first_missing;  // the first such pixel, in decoding order
  uint32_t rows_held = 0;  // rows below that pixel's row; height when none
};

// Every pixel of a picture with positive width and height, in decoding order
// (row 0 is the picture's bottom row), rows packed without pad. `report` may
// be null.
Bytes oracle_packed_pixels(const uint8_t* data, size_t size, OracleReport* report = nullptr);

// What a reader must make of the data: the acceptance rule (the magic
// "TZF\0", version 2 or 3, header length 64, 8 bits with the streams at 1088
// or 24 bits with the streams at 64), then the size, then the default limits
// (256 megapixels, 1 GiB of 3-byte pixels).
enum class OracleClass { kDecodable, kNotTzf, kBadSize, kLimit };
OracleClass oracle_class(const uint8_t* data, size_t size);

// GetPicture's result done by hand on a memory image, with the oracle as the
// decoder: the blocks, status and progress calls GetPicture must produce.
// Only for files whose header passes the acceptance rule.
Decoded oracle_get_picture(const Bytes& file, ProgressCallback progress, intptr_t host_data);

#endif
