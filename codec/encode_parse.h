// The encoder's parse: choosing literals and runs for pixels in decoding
// order, and laying out the flag, command and literal streams.
#ifndef TZF_CODEC_ENCODE_PARSE_H
#define TZF_CODEC_ENCODE_PARSE_H

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "codec/quantise.h"

// Work bytes of each region, for a picture of `pixels` pixels (below 2^28,
// so none of these overflows). Keys and indices are compared sixteen at a
// time, so their regions have room past the last pixel. The fast parse needs
// room for its command bytes and a byte a pixel; the smallest two bytes a
// pixel.
inline uint64_t encode_key_bytes(uint64_t pixels) { return pixels * 4 + 16; }
inline uint64_t encode_index_bytes(uint64_t pixels) { return pixels + 16; }
uint64_t parse_work_bytes(uint64_t pixels, bool fast);

// The colours of a picture with at most 256 of them: fills `palette` in the
// order the colours first appear and `indices` with each pixel's, and
// returns how many there are; 0 when there are more.
uint64_t exact_colours_work_bytes();
uint32_t exact_colours(const uint32_t* keys, uint64_t pixels, uint8_t (*palette)[3],
                       uint8_t* indices, void* work, size_t work_size);

// Which code finds the fast parse's runs; all three give the same bytes, and
// the tests hold them together. kVector compares sixteen pixels at a time
// where the processor the library is built for can (SSE2) and is the
// portable code elsewhere; kBackward is the smallest parse's backward pass
// taking the longest run at each pixel, and needs the smallest parse's work.
enum class FastParse : uint8_t { kVector, kPortable, kBackward };

struct ParseInput {
  uint32_t width, height;
  const uint32_t* keys;    // true colour: 0x00RRGGBB, when indices is null
  const uint8_t* indices;  // 8 bits: colour table indices
  bool fast;               // the longest run at each pixel, not the smallest file
  FastParse fast_parse;    // kVector unless a test asks otherwise
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

// A displacement usable for a picture: a distinct offset reaching back into
// the decoded pixels, with the lowest table index that gives it; the list is
// in table order.
struct ParseSource {
  int64_t offset;
  uint8_t entry;
};
struct ParseSources {
  std::array<ParseSource, 16> items;
  size_t count = 0;
  uint64_t reach = 0;  // the largest -offset: from this pixel on, every source is inside
};
ParseSources usable_sources(uint32_t width, uint64_t pixels);

// The fast parse, forwards: at every pixel no run covers, the longest run of
// at least kMinRun pixels (the lowest table index among equals) or else a
// literal. Writes the streams as parse_and_write does; the work holds the
// command bytes until their place is known.
bool parse_fast(const ParseInput& in, const ParseSources& sources, uint8_t* streams,
                ParseOutput& out);

#endif
