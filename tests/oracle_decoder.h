// A second decoder, written literally from the decoding rules: pixel by
// pixel, one byte at a time, with no shortcut. It is slow on purpose and is
// the reference the real decoder is compared with.
#ifndef TZF_TESTS_ORACLE_DECODER_H
#define TZF_TESTS_ORACLE_DECODER_H

#include <stdint.h>

#include <vector>

#include "format/pixel_decoder.h"
#include "source/image_reader.h"
#include "tests/picture_decode.h"

// Same contract as decode_pixels: writes every row of `job.pixels`, calls the
// progress callback before each row, pulls literals through `reader` in
// chunks; false with status 1 (cancelled) or 6 (read failure) in the reader.
bool oracle_decode_pixels(const DecodeJob& job, ImageReader& reader);

// GetPicture's steps done by hand on a memory image, with the oracle as the
// decoder: the blocks, status and progress calls GetPicture must produce.
// Only for files whose header passes the acceptance rule.
Decoded oracle_get_picture(const Bytes& file, ProgressCallback progress, intptr_t host_data);

#endif
