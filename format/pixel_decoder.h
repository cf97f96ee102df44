// Rebuilds the pixel rows of a TZF picture from its three streams.
//
// Pixels are numbered in decoding order: row r, column c is pixel
// r * width + c; row pad bytes are never counted. For every pixel that no run
// covers, the next flag bit (most significant first) chooses: 0 takes one
// literal pixel from the literal stream, 1 takes a command byte whose high
// four bits select a displacement (dx, dy) and whose low four bits give the
// run length - 3. A run starting at pixel i copies pixel i + k + dy*width + dx
// into pixel i + k for k = 0, 1, ... in ascending order, so a source that
// trails by less than the run's length repeats the pixels just written; runs
// go on across row ends. A source before the first pixel, or not yet decoded,
// reads as zero bytes. Flag and command bytes past their streams read as 0,
// and literal bytes past the end of the source read as 0.
#ifndef TZF_FORMAT_PIXEL_DECODER_H
#define TZF_FORMAT_PIXEL_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "plugin/tzf_filter.h"
#include "source/image_reader.h"

// A file's literal stream is pulled through the reader in chunks of this size
// (a multiple of both pixel sizes, held on the stack while decoding); long
// literal stretches are read straight into the pixel block. A memory image's
// literals are read in place.
constexpr uint32_t kLiteralChunk = 49152;

struct DecodeJob {
  int32_t width;             // pixels, at least 1
  int32_t height;            // rows, at least 1
  uint32_t bytes_per_pixel;  // 1 or 3
  uint32_t row_pad;          // 0 to 3 zero bytes after each row
  const uint8_t* flags;
  size_t flag_count;
  const uint8_t* commands;
  size_t command_count;
  uint8_t* pixels;  // height * (width * bytes_per_pixel + row_pad) bytes
  ProgressCallback progress;
  intptr_t host_data;
};

// Writes every row, calling the progress callback before each one (and before
// reading any literal of that row). Returns false when the callback cancels
// (status 1) or a literal read fails (status 6); the reader then holds the
// status. The reader stands at the literal stream; a memory image's cursor is
// left after the last literal byte used. Allocates nothing.
bool decode_pixels(const DecodeJob& job, ImageReader& reader);

#endif
