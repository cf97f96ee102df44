// Rebuilds the pixel rows of a TZF picture from its three streams.
//
// Pixels are numbered in decoding order: row r, column c is pixel
// r * width + c; bytes between rows are never counted. A run starting at
// pixel i copies pixel i + k + dy*width + dx into pixel i + k for k = 0, 1,
// ... in ascending order, so a source that trails by less than the run's
// length repeats the pixels just written; runs go on across row ends. A
// source before the first pixel, or not yet decoded, reads as zero bytes.
// Flag and command bytes past their streams read as 0, and literal bytes
// past the end of the data read as 0.
#ifndef TZF_CODEC_PIXEL_DECODER_H
#define TZF_CODEC_PIXEL_DECODER_H

#include <stddef.h>
#include <stdint.h>

// A refill reads the literal stream in chunks of this size (a multiple of
// both pixel sizes, so that a pixel never straddles two fills); long literal
// stretches are read straight into the rows.
constexpr uint32_t kLiteralChunk = 196608;

// Where literal bytes come from: memory from `next` to `end`, then, when
// `refill` is given, whatever it delivers; without it, zeros.
struct LiteralFeed {
  const uint8_t* next;
  const uint8_t* end;
  // Fills `count` bytes at `to` with the next bytes of the stream (zeros
  // past the end of the data); false when the source cannot be read.
  bool (*refill)(void* user, uint8_t* to, size_t count);
  void* user;
  uint8_t* chunk;  // kLiteralChunk bytes of the refill's caller, or null
  // Without a refill: the first pixel whose literal bytes were past the end
  // of the data, UINT64_MAX while none was.
  uint64_t missing_from = UINT64_MAX;
};

// Called before each row (0 .. height - 1), and before any literal of that
// row is read; false stops the decoding.
struct RowHook {
  bool (*before_row)(void* user, uint32_t row);
  void* user;
};

struct DecodeJob {
  int32_t width;             // pixels, at least 1
  int32_t height;            // rows, at least 1
  uint32_t bytes_per_pixel;  // 1 or 3
  uint8_t* first_row;        // row 0 of the decoding order
  // Bytes from one row to the next in decoding order, negative when the rows
  // go down in memory; |stride| is at least width * bytes_per_pixel. The
  // bytes between one row's pixels and the next row are set to zero; nothing
  // past the last row's pixels (in memory) is written.
  ptrdiff_t stride;
  const uint8_t* flags;
  size_t flag_count;
  const uint8_t* commands;
  size_t command_count;
  RowHook hook;  // before_row may be null
};

enum DecodeResult { kDecodeDone, kDecodeCancelled, kDecodeReadFailed };

// Writes every row. Allocates nothing; stack use stays under 16 KiB.
DecodeResult decode_pixels(const DecodeJob& job, LiteralFeed& literals);

#endif
