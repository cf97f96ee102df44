// Writes the seed corpus of the fuzz targets: valid pictures of both depths
// and odd widths (encoded, literal-only and hand-made with every
// displacement), truncated copies, and hostile headers. Usage:
//   tzf_make_corpus <fuzz/corpus folder>
// fills <folder>/fuzz_memory, <folder>/fuzz_file and <folder>/fuzz_roundtrip.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "encoder/tzf_encoder.h"
#include "tests/test_pictures.h"

namespace {

namespace fs = std::filesystem;

bool write(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  FILE* f = fopen((folder / name).string().c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

// A picture with repeats at several distances and some noise, so that the
// encoder uses runs of different displacements as well as literals.
Bytes patterned_pixels(int32_t width, int32_t height, int bytes_per_pixel, uint32_t seed) {
  Bytes noise = random_bytes(static_cast<size_t>(width) * height * bytes_per_pixel, seed);
  Bytes pixels(noise.size());
  for (int32_t i = 0; i < width * height; ++i) {
    for (int b = 0; b < bytes_per_pixel; ++b) {
      const size_t at = static_cast<size_t>(i) * bytes_per_pixel + b;
      const int32_t row = i / width;
      const int32_t column = i % width;
      uint8_t v = static_cast<uint8_t>((column / 3 + row / 2) * 40 + b);
      if (noise[at] % 5 == 0) v = noise[at];
      pixels[at] = v;
    }
  }
  return pixels;
}

Bytes encoded(int32_t width, int32_t height, int16_t bits, uint32_t seed,
              tzf::encoder::ParseMode mode) {
  const Bytes pixels = patterned_pixels(width, height, bits / 8, seed);
  const Bytes palette = bits == 8 ? test_palette() : Bytes();
  tzf::encoder::EncoderInput input;
  input.width = width;
  input.height = height;
  input.bits_per_pixel = bits;
  input.pixels = pixels;
  input.palette = palette;
  return tzf::encoder::Encode(input, mode).file;
}

// Every displacement once, runs of every length, separated by literals.
Bytes every_displacement(int32_t width, int32_t height, int16_t bits) {
  PictureParts parts;
  parts.width = width;
  parts.height = height;
  parts.bits_per_pixel = bits;
  parts.flags = {0x00, 0x00, 0xAA, 0xAA, 0x55, 0x55, 0xFF, 0xFF, 0x49, 0x92, 0x24};
  for (uint32_t i = 0; i < 16; ++i) parts.commands.push_back(static_cast<uint8_t>(i << 4 | i));
  parts.literals = random_bytes(static_cast<size_t>(width) * height * bits / 8 / 2, 77);
  return make_picture(parts);
}

Bytes hostile(int32_t width, int32_t height, int16_t bits, uint32_t flag_length,
              uint32_t command_length) {
  PictureParts parts;
  parts.width = width;
  parts.height = height;
  parts.bits_per_pixel = bits;
  parts.override_lengths = true;
  parts.flag_length = flag_length;
  parts.command_length = command_length;
  return make_header(parts);
}

Bytes with_u32(Bytes bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

Bytes cut(const Bytes& bytes, size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

bool write_pictures(const fs::path& folder) {
  using tzf::encoder::ParseMode;
  bool ok = true;
  struct Size {
    int32_t width;
    int32_t height;
    int16_t bits;
  } sizes[] = {{1, 1, 24}, {3, 2, 24}, {5, 5, 24}, {7, 3, 24}, {13, 4, 24}, {33, 9, 24},
               {1, 1, 8},  {5, 3, 8},  {7, 7, 8},  {13, 5, 8}, {31, 6, 8},  {2, 17, 8}};
  uint32_t seed = 1;
  for (const Size& s : sizes) {
    const std::string name =
        std::to_string(s.bits) + "bit_" + std::to_string(s.width) + "x" + std::to_string(s.height);
    ok = write(folder, "valid_" + name + "_optimal.tzf",
               encoded(s.width, s.height, s.bits, seed, ParseMode::kOptimal)) &&
         ok;
    ok = write(folder, "valid_" + name + "_greedy.tzf",
               encoded(s.width, s.height, s.bits, seed + 100, ParseMode::kGreedy)) &&
         ok;
    ++seed;
  }
  ok =
      write(folder, "literal_24bit_3x3.tzf", make_literal_picture(3, 3, 24, random_bytes(27, 5))) &&
      ok;
  ok = write(folder, "literal_8bit_5x2.tzf", make_literal_picture(5, 2, 8, random_bytes(10, 6))) &&
       ok;
  // Rows long enough for a file's literals to be read straight into the block.
  ok = write(folder, "literal_24bit_1400x1.tzf",
             make_literal_picture(1400, 1, 24, random_bytes(4200, 15))) &&
       ok;
  ok = write(folder, "literal_8bit_4200x1.tzf",
             make_literal_picture(4200, 1, 8, random_bytes(4200, 16))) &&
       ok;
  ok = write(folder, "displacements_24bit_9x9.tzf", every_displacement(9, 9, 24)) && ok;
  ok = write(folder, "displacements_8bit_11x7.tzf", every_displacement(11, 7, 8)) && ok;
  ok = write(folder, "displacements_8bit_1x40.tzf", every_displacement(1, 40, 8)) && ok;

  Bytes v2 = make_literal_picture(3, 1, 24, random_bytes(9, 7));
  v2[4] = 2;
  ok = write(folder, "version2_24bit_3x1.tzf", v2) && ok;

  // Truncated copies of a valid picture of each depth.
  const Bytes true_colour = encoded(13, 4, 24, 3, ParseMode::kOptimal);
  const Bytes palette = encoded(13, 5, 8, 4, ParseMode::kOptimal);
  for (size_t length : {size_t{10}, size_t{63}, size_t{64}, true_colour.size() - 1}) {
    ok = write(folder, "truncated_24bit_" + std::to_string(length) + ".tzf",
               cut(true_colour, length)) &&
         ok;
  }
  for (size_t length : {size_t{64}, size_t{500}, size_t{1090}, palette.size() - 2}) {
    ok = write(folder, "truncated_8bit_" + std::to_string(length) + ".tzf", cut(palette, length)) &&
         ok;
  }

  // Hostile headers: 64 bytes declaring what the file does not hold.
  const uint32_t huge = 0xFFFFFFFFu;
  ok = write(folder, "hostile_zero_width.tzf", hostile(0, 5, 24, 0, 0)) && ok;
  ok = write(folder, "hostile_negative_height.tzf", hostile(5, -1, 8, 0, 0)) && ok;
  ok = write(folder, "hostile_max_dimensions.tzf",
             hostile(0x7FFFFFFF, 0x7FFFFFFF, 24, huge, huge)) &&
       ok;
  ok = write(folder, "hostile_block_over_4gib.tzf", hostile(65536, 65537, 8, huge, huge)) && ok;
  ok = write(folder, "hostile_huge_streams_1x1.tzf", hostile(1, 1, 24, huge, huge)) && ok;
  ok = write(folder, "hostile_huge_streams_2000x2000.tzf", hostile(2000, 2000, 24, huge, huge)) &&
       ok;
  ok = write(folder, "hostile_tall_1x100000.tzf", hostile(1, 100000, 8, huge, 0)) && ok;
  const Bytes good = make_literal_picture(2, 2, 24, random_bytes(12, 9));
  ok = write(folder, "rejected_magic.tzf",
             [&] {
               Bytes b = good;
               b[2] = 'G';
               return b;
             }()) &&
       ok;
  ok = write(folder, "rejected_version4.tzf", with_u32(good, 4, 4)) && ok;
  ok = write(folder, "rejected_header_length.tzf", with_u32(good, 8, 65)) && ok;
  ok = write(folder, "rejected_depth16.tzf",
             [&] {
               Bytes b = good;
               b[24] = 16;
               return b;
             }()) &&
       ok;
  ok = write(folder, "rejected_offset_mismatch.tzf", with_u32(good, 40, 1088)) && ok;
  ok = write(folder, "empty.tzf", Bytes()) && ok;
  return ok;
}

// Round-trip inputs: control byte, width (two bytes), height, pixel bytes.
bool write_roundtrip(const fs::path& folder) {
  struct Seed {
    const char* name;
    uint8_t control;
    uint16_t width;
    uint8_t height;
    Bytes data;
  } seeds[] = {
      {"24bit_17x5_noise", 0x0F, 16, 4, random_bytes(60, 11)},
      {"8bit_300x64_two_bits", 0x02, 299, 63, random_bytes(40, 12)},
      {"24bit_1x1", 0x01, 0, 0, {}},
      {"8bit_64x8_repeat", 0x0E, 63, 7, {'a', 'b', 'a', 'b', 'c'}},
      {"8bit_2x30_one_bit", 0x00, 1, 29, random_bytes(17, 13)},
      {"24bit_4x9_three_bits", 0x05, 3, 8, random_bytes(33, 14)},
  };
  bool ok = true;
  for (const Seed& s : seeds) {
    Bytes input = {s.control, static_cast<uint8_t>(s.width), static_cast<uint8_t>(s.width >> 8),
                   s.height};
    input.insert(input.end(), s.data.begin(), s.data.end());
    ok = write(folder, std::string(s.name) + ".bin", input) && ok;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  bool ok = true;
  for (const char* target : {"fuzz_memory", "fuzz_file"}) {
    fs::create_directories(root / target);
    ok = write_pictures(root / target) && ok;
  }
  fs::create_directories(root / "fuzz_roundtrip");
  ok = write_roundtrip(root / "fuzz_roundtrip") && ok;
  if (!ok) fprintf(stderr, "error: could not write every seed\n");
  return ok ? 0 : 1;
}
