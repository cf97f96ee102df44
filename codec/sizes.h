// Size arithmetic on numbers taken from picture headers and callers, each
// helper saying why it cannot overflow.
#ifndef TZF_CODEC_SIZES_H
#define TZF_CODEC_SIZES_H

#include <stddef.h>
#include <stdint.h>

// Bytes of one row of `width` pixels of `bytes_per_pixel` bytes: width is
// below 2^31 and bytes_per_pixel at most 4, so the product is below 2^33.
inline uint64_t row_byte_count(uint32_t width, uint32_t bytes_per_pixel) {
  return static_cast<uint64_t>(width) * bytes_per_pixel;
}

// Pixels of a picture: both factors are below 2^31, the product below 2^62.
inline uint64_t pixel_total(uint32_t width, uint32_t height) {
  return static_cast<uint64_t>(width) * height;
}

// Bytes from the first row's start to the last row's end when `height`
// rows of `row_bytes` bytes lie `distance` bytes apart (distance >=
// row_bytes). False when that exceeds `limit`; the division comes before
// the multiplication, so nothing overflows.
inline bool rows_extent(uint32_t height, uint64_t distance, uint64_t row_bytes, uint64_t limit,
                        uint64_t& extent) {
  if (height == 0 || row_bytes > limit) return false;
  const uint64_t gaps = height - 1u;
  if (gaps != 0 && distance > (limit - row_bytes) / gaps) return false;
  extent = gaps * distance + row_bytes;
  return true;
}

// Stream bytes worth loading: at most what was declared, what decoding can
// consume and what the data holds past `start`.
inline uint64_t usable_stream(uint64_t declared, uint64_t consumable, uint64_t start,
                              uint64_t size) {
  uint64_t n = declared < consumable ? declared : consumable;
  const uint64_t held = start < size ? size - start : 0;
  return n < held ? n : held;
}

// Flag bytes decoding can consume: one bit per decision, at most one
// decision per pixel.
inline uint64_t consumable_flag_bytes(uint64_t pixels) { return pixels / 8 + (pixels % 8 != 0); }

// Command bytes decoding can consume: every run covers at least three pixels.
inline uint64_t consumable_command_bytes(uint64_t pixels) { return pixels / 3 + (pixels % 3 != 0); }

// Literal bytes decoding can consume: one stored pixel per pixel at most;
// below 2^62 pixels of at most 3 bytes, the product fits in 64 bits.
inline uint64_t consumable_literal_bytes(uint64_t pixels, uint32_t stored_bytes) {
  return pixels * stored_bytes;
}

#endif
