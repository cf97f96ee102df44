// The golden corpus as the tests read it: expected.tsv, the pictures' bytes
// and the expected pixels in NAME.png. The PNG files are written by
// corpus_expect with uncompressed (stored) deflate blocks, so that every test
// program, on every platform, reads them with the small reader below and no
// image library; other readers see ordinary PNG files.
#ifndef TZF_TESTS_CORPUS_CORPUS_FILES_H
#define TZF_TESTS_CORPUS_CORPUS_FILES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

using CorpusBytes = std::vector<uint8_t>;

// One line of expected.tsv: NAME.tzf, CLASS, ROWS_HELD.
struct CorpusEntry {
  std::string file;   // NAME.tzf
  std::string klass;  // ok, truncated, not-tzf, bad-size or limit
  uint32_t rows_held = 0;
  std::string stem() const { return file.substr(0, file.size() - 4); }
  bool decodes() const { return klass == "ok" || klass == "truncated"; }
};

// The entries of DIR/expected.tsv; false (and `error` says why) when the
// file cannot be read or a line is malformed.
bool read_expected(const std::string& dir, std::vector<CorpusEntry>& entries, std::string& error);

// The whole file, read with stdio in binary mode.
bool read_whole_file(const std::string& path, CorpusBytes& out);
bool write_whole_file(const std::string& path, const CorpusBytes& data);

// 8-bit RGB pixels, top row first, rows without pad.
struct RgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  CorpusBytes rgb;
};

// A PNG file of `image`: colour type 2, 8 bits, not interlaced, filter 0 on
// every row, stored deflate blocks.
CorpusBytes png_encode(const RgbImage& image);

// A PNG file as png_encode and tests/corpus/write/make_write_corpus.py write
// it: 8 bits a sample, not interlaced, filter 0 on every row, stored deflate
// blocks; colour type 2 (red, green, blue), 3 (an index into the PLTE
// chunk's colours) or 6 (red, green, blue, alpha).
struct PngPicture {
  RgbImage image;           // every pixel's red, green, blue (type 3: its entry's)
  uint8_t colour_type = 0;  // 2, 3 or 6
  CorpusBytes palette;      // type 3: red, green, blue of each entry, 1 to 256 entries
  CorpusBytes indices;      // type 3: each pixel's entry, top row first
  CorpusBytes alpha;        // type 6: each pixel's alpha, top row first
};

// Reads such a file, checking every CRC, the Adler-32, the chunks' order and
// that every index lies inside the colour table; false for anything else.
bool png_decode(const CorpusBytes& file, PngPicture& picture);

// The same for colour types 2 and 3, as RGB; false for type 6, whose alpha
// this record has no room for.
bool png_decode(const CorpusBytes& file, RgbImage& image);

// The picture as RGB, top row first, from pixels in decoding order (bottom
// row first, rows packed): `bytes_per_pixel` 3 holds blue, green, red; 1
// holds indices into `colour_table` (256 entries of blue, green, red, 0).
RgbImage rgb_from_decoding_order(const uint8_t* pixels, uint32_t width, uint32_t height,
                                 uint32_t bytes_per_pixel, const uint8_t* colour_table);

#endif
