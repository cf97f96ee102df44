// Golden cases of the pixel stream decoding, each named after the rule it
// checks, run through GetPicture from memory and from a file.
#include "codec/pixel_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "plugin/status_codes.h"
#include "tests/picture_decode.h"
#include "tests/test_pictures.h"

namespace {

// Checks a memory decode and a file decode against the expected pixels,
// given in decoding order without pad.
void expect_pixels(const PictureParts& parts, const Bytes& expected, const char* what) {
  Bytes file = make_picture(parts);
  Bytes rows = to_dib_rows(expected, parts.width, parts.height, parts.bits_per_pixel);
  Decoded memory = decode_memory(file);
  ASSERT_EQ(memory.status, kStatusSuccess) << what;
  EXPECT_EQ(memory.pixels, rows) << what << " (memory)";
  Decoded from_file = decode_file(file, 3);
  ASSERT_EQ(from_file.status, kStatusSuccess) << what;
  EXPECT_EQ(from_file.pixels, rows) << what << " (file)";
}

Bytes seq(size_t n, uint8_t first = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

TEST(Decoder, FlagBitsAreTakenMostSignificantFirst) {
  // Flags 0x0F: four literals, then a run (entry 9: dx -4, length 3), then
  // the sixth bit for pixel 7.
  PictureParts parts;
  parts.width = 8;
  parts.height = 1;
  parts.bits_per_pixel = 8;
  parts.flags = {0x0F};
  parts.commands = {0x90};
  parts.literals = {10, 11, 12, 13};
  // Pixel 7 starts another run: command byte 2 is missing and reads as 0
  // (entry 0: dx 3, dy -3), whose source lies before the picture: zero.
  expect_pixels(parts, {10, 11, 12, 13, 10, 11, 12, 0}, "0x0F/0x90");
}

TEST(Decoder, SourceTrailingByLessThanTheRunRepeats) {
  PictureParts parts;
  parts.width = 22;
  parts.height = 1;
  parts.bits_per_pixel = 24;
  parts.flags = {0x08};      // four literals, then a run
  parts.commands = {0x9F};   // entry 9 (-4, 0), run 18
  parts.literals = seq(12);  // W X Y Z
  Bytes expected = parts.literals;
  for (int k = 0; k < 18; ++k) {
    expected.insert(expected.end(), parts.literals.begin() + (k % 4) * 3,
                    parts.literals.begin() + (k % 4) * 3 + 3);
  }
  expect_pixels(parts, expected, "W X Y Z then 0x9F");
}

TEST(Decoder, EachDisplacementHasItsOffset) {
  // Width 10: offset = dy * 10 + dx for the sixteen entries, in table order.
  const int kOffsets[16] = {-27, -44, -24, -12, -20, -13, -11, -10,
                            -40, -4,  -9,  -30, -8,  -22, -33, -14};
  for (int entry = 0; entry < 16; ++entry) {
    for (int16_t bits : {8, 24}) {
      const int bpp = bits / 8;
      PictureParts parts;
      parts.width = 10;
      parts.height = 6;
      parts.bits_per_pixel = bits;
      // 50 literals, then one run of 7 at pixel 50, then 3 literals.
      parts.flags.assign(8, 0);
      parts.flags[50 / 8] = static_cast<uint8_t>(0x80 >> (50 % 8));
      parts.commands = {static_cast<uint8_t>(entry << 4 | 4)};
      parts.literals = random_bytes(53 * bpp, 100 + entry);
      Bytes expected(parts.literals.begin(), parts.literals.begin() + 50 * bpp);
      for (int k = 0; k < 7; ++k) {
        size_t from = static_cast<size_t>((50 + k + kOffsets[entry]) * bpp);
        Bytes pixel(expected.begin() + from, expected.begin() + from + bpp);
        expected.insert(expected.end(), pixel.begin(), pixel.end());
      }
      expected.insert(expected.end(), parts.literals.begin() + 50 * bpp, parts.literals.end());
      expect_pixels(parts, expected, ("entry " + std::to_string(entry)).c_str());
    }
  }
}

TEST(Decoder, RowBackCopiesTheSameColumns) {
  PictureParts parts;
  parts.width = 20;  // 8-bit, row length a multiple of four
  parts.height = 2;
  parts.bits_per_pixel = 8;
  parts.flags = {0, 0, 0x08};  // 20 literals, then a run of 18, then 2 literals
  parts.commands = {0x7F};
  parts.literals = random_bytes(22, 5);
  // Row 0: literals 0-19; row 1: the run, then literals 20 and 21.
  Bytes expected(40);
  std::copy(parts.literals.begin(), parts.literals.begin() + 20, expected.begin());
  std::copy(parts.literals.begin(), parts.literals.begin() + 18, expected.begin() + 20);
  std::copy(parts.literals.begin() + 20, parts.literals.end(), expected.begin() + 38);
  expect_pixels(parts, expected, "0x7F");
}

TEST(Decoder, RunsContinueAcrossRowEnds) {
  // A run of 18 started 5 pixels before the end of row 1 writes 5 pixels,
  // the pad, then 13 pixels of row 2, copying one row back in pixel order.
  struct Case {
    int32_t width;
    int16_t bits;
  } cases[] = {{8, 8}, {7, 8}, {5, 24}, {7, 24}, {8, 24}, {6, 8}};
  for (const Case& c : cases) {
    const int bpp = c.bits / 8;
    const int32_t height = 3 + 18 / c.width;
    const int pixels = c.width * height;
    PictureParts parts;
    parts.width = c.width;
    parts.height = height;
    parts.bits_per_pixel = c.bits;
    const int run_at = 2 * c.width - 5;
    parts.flags.assign(static_cast<size_t>(pixels + 7) / 8, 0);
    parts.flags[static_cast<size_t>(run_at / 8)] = static_cast<uint8_t>(0x80 >> (run_at % 8));
    parts.commands = {0x7F};
    const int literal_count = pixels - 18;
    parts.literals = random_bytes(static_cast<size_t>(literal_count * bpp), 7 + c.width);
    Bytes expected(parts.literals.begin(), parts.literals.begin() + run_at * bpp);
    for (int k = 0; k < 18; ++k) {
      size_t from = static_cast<size_t>((run_at + k - c.width) * bpp);
      Bytes pixel(expected.begin() + from, expected.begin() + from + bpp);
      expected.insert(expected.end(), pixel.begin(), pixel.end());
    }
    expected.insert(expected.end(), parts.literals.begin() + run_at * bpp, parts.literals.end());
    expect_pixels(parts, expected, ("width " + std::to_string(c.width)).c_str());
  }
}

TEST(Decoder, SourcesBeforeThePictureOrNotYetDecodedReadAsZero) {
  struct Case {
    const char* rule;
    int32_t width;
    int16_t bits;
    uint8_t command;
    Bytes expected_run;  // the run's pixels after two literal pixels 7 and 9
  } cases[] = {
      // Width 1: entry 10 (1, -1) points at the pixel itself, entry 12 (2, -1) ahead.
      {"width 1, offset 0", 1, 8, 0xA0, {0, 0, 0}},
      {"width 1, offset +1", 1, 8, 0xC0, {0, 0, 0}},
      // Width 2: entry 12 is offset 0; entry 10 is offset -1.
      {"width 2, offset 0", 2, 8, 0xC0, {0, 0, 0}},
      {"width 2, offset -1", 2, 8, 0xA0, {9, 9, 9}},
      // Width 3: entry 12 is offset -1; entry 7 is -3, before the first pixel at first.
      {"width 3, offset -1", 3, 8, 0xC0, {9, 9, 9}},
      {"width 3, offset -3", 3, 8, 0x70, {0, 7, 9}},
      // 24-bit width 5: entry 0 (3, -3) is -12: before the picture.
      {"width 5, offset -12", 5, 24, 0x00, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const int bpp = c.bits / 8;
    PictureParts parts;
    parts.width = c.width;
    parts.height = 5 / c.width + 1;
    parts.bits_per_pixel = c.bits;
    parts.flags = {0x20};  // two literals, then a run of 3
    parts.commands = {c.command};
    Bytes lit;
    for (uint8_t v : {7, 9}) lit.insert(lit.end(), static_cast<size_t>(bpp), v);
    parts.literals = lit;
    Bytes expected = lit;
    if (bpp == 1) {
      expected.insert(expected.end(), c.expected_run.begin(), c.expected_run.end());
    } else {
      expected.insert(expected.end(), 9, 0);
    }
    // The rest of the picture is literal; the literal stream has ended: zero.
    expected.resize(static_cast<size_t>(parts.width * parts.height * bpp), 0);
    expect_pixels(parts, expected, c.rule);
  }
}

TEST(Decoder, StreamsPastTheirEndReadAsZero) {
  // Flag bits all 1 with no command bytes: every run is command 0, entry 0
  // (3, -3) of length 3, whose source lies before the picture for width 20
  // during the first rows, so those rows stay zero.
  PictureParts parts;
  parts.width = 20;
  parts.height = 3;
  parts.bits_per_pixel = 8;
  parts.flags.assign(8, 0xFF);
  expect_pixels(parts, Bytes(60, 0), "no command stream");

  // No flag stream at all: every pixel is literal.
  PictureParts literal;
  literal.width = 9;
  literal.height = 3;
  literal.bits_per_pixel = 24;
  literal.literals = random_bytes(81, 11);
  expect_pixels(literal, literal.literals, "no flag stream");
}

TEST(Decoder, LiteralChunksRefillWithoutSeams) {
  // A literal chunk holds kLiteralChunk / 3 pixels of 24 bits or
  // kLiteralChunk pixels of 8 bits; refills must not disturb the literal order.
  struct Case {
    int16_t bits;
    int32_t width;
    int32_t height;
  } cases[] = {{24, 97, 131},
               {8, 193, 199},
               {24, static_cast<int32_t>(kLiteralChunk / 3), 2},
               {8, static_cast<int32_t>(kLiteralChunk), 2},
               {24, 6144, 2},
               {8, 18432, 2}};
  for (const Case& c : cases) {
    const size_t pixels = static_cast<size_t>(c.width) * c.height;
    const size_t bpp = static_cast<size_t>(c.bits / 8);
    PictureParts parts;
    parts.width = c.width;
    parts.height = c.height;
    parts.bits_per_pixel = c.bits;
    parts.flags.assign((pixels + 7) / 8, 0);
    parts.literals = random_bytes(pixels * bpp, static_cast<uint32_t>(c.width));
    expect_pixels(parts, parts.literals, "all literal");
    // Cut the literal stream: the tail reads as zero.
    Bytes expected = parts.literals;
    parts.literals.resize(parts.literals.size() - 1000);
    std::fill(expected.end() - 1000, expected.end(), 0);
    expect_pixels(parts, expected, "literal stream cut short");
  }
}

}  // namespace
