// Small TZF pictures built by hand for the tests, and helpers that hold
// inputs the way a hostile file would arrive: in buffers of exactly their size.
#ifndef TZF_TESTS_TEST_PICTURES_H
#define TZF_TESTS_TEST_PICTURES_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct PictureParts {
  int32_t width = 1;
  int32_t height = 1;
  int16_t bits_per_pixel = 24;
  uint32_t version = 3;
  Bytes palette;   // 1024 bytes for 8-bit pictures; empty means a made-up palette
  Bytes flags;     // flag stream
  Bytes commands;  // command stream
  Bytes literals;  // literal stream
  // When set, these replace the true stream lengths in the header.
  bool override_lengths = false;
  uint32_t flag_length = 0;
  uint32_t command_length = 0;
};

// The 64-byte header alone.
Bytes make_header(const PictureParts& parts);

// Header, colour table and the three streams.
Bytes make_picture(const PictureParts& parts);

// A picture of only literal pixels (flag bits all 0), pixels in decoding order.
Bytes make_literal_picture(int32_t width, int32_t height, int16_t bits_per_pixel,
                           const Bytes& pixels);

// The made-up palette used when the parts give none.
Bytes test_palette();

// Row stride of the DIB pixel block.
uint32_t dib_stride(int32_t width, int16_t bits_per_pixel);

// Lays out pixels given in decoding order (no pad) as a DIB pixel block.
Bytes to_dib_rows(const Bytes& pixels, int32_t width, int32_t height, int16_t bits_per_pixel);

// Deterministic pseudo-random bytes.
Bytes random_bytes(size_t count, uint32_t seed);

// A 24-bit picture of random streams, each as long as the picture can use:
// runs and literals of every kind. The streams take seeds `seed`, `seed + 1`
// and `seed + 2`.
PictureParts random_picture_parts(int32_t width, int32_t height, uint32_t seed);

// A copy in a heap block of exactly the data's size, so that a one-byte
// over-read is caught by the address sanitizer.
struct ExactBuffer {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
  const char* chars() const { return reinterpret_cast<const char*>(data.get()); }
};
ExactBuffer exact_copy(const Bytes& bytes);

// A file in the temporary folder, removed when the record goes.
struct TempFile {
  std::string path;
  explicit TempFile(const Bytes& contents);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

#endif
