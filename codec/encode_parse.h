// The encoder's parse: choosing literals and runs for pixels in decoding
// order, and laying out the flag, command and literal streams.
#ifndef TZF_CODEC_ENCODE_PARSE_H
#define TZF_CODEC_ENCODE_PARSE_H

#include <stddef.h>
#include <stdint.h>

#include "codec/quantise.h"

// Work bytes of each region, for a picture of `pixels` pixels (below 2^28,
// so none of these overflows). Keys are read four bytes at a time, so their
// region has room past the last pixel.
inline uint64_t encode_key_bytes(uint64_t pixels) { return pixels * 4 + 16; }
inline uint64_t encode_index_bytes(uint64_t pixels) { return pixels + 16; }
uint64_t parse_work_bytes(uint64_t pixels, bool fast);

// The colours of a picture with at most 256 of them: fills `palette` in the
// order the colours first appear and `indices` with each pixel's, and
// returns how many there are; 0 when there are more.
uint64_t exact_colours_work_bytes();
uint32_t exact_colours(const uint32_t* keys, uint64_t pixels, uint8_t (*palette)[3],
                       uint8_t* indices, void* work, size_t work_size);

struct ParseInput {
  uint32_t width, height;
  const uint32_t* keys;    // true colour: 0x00RRGGBB, when indices is null
  const uint8_t* indices;  // 8 bits: colour table indices
  bool fast;               // the longest run at each pixel, not the smallest file
  void* work;              // parse_work_bytes(width x height, fast)
  QuantiseProgress progress;
};

struct ParseOutput {
  uint64_t flag_bytes, command_bytes, literal_bytes;
  uint64_t literal_pixels, runs, run_pixels;
};

// Parses the pixels and writes the three streams, one after the other, at
// `streams`, which has room for the flag bytes of one flag per pixel and a
// literal for every pixel. False when cancelled.
bool parse_and_write(const ParseInput& in, uint8_t* streams, ParseOutput& out);

#endif
