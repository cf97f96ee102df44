#include "tests/test_pictures.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <filesystem>

#if defined(_WIN32)
#include <process.h>
#define tzf_getpid _getpid
#else
#include <unistd.h>
#define tzf_getpid getpid
#endif

namespace {

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

Bytes make_header(const PictureParts& parts) {
  Bytes h(64, 0);
  memcpy(h.data(), "TZF", 4);
  put32(h, 4, parts.version);
  put32(h, 8, 64);
  put32(h, 12, static_cast<uint32_t>(parts.width));
  put32(h, 16, static_cast<uint32_t>(parts.height));
  h[24] = static_cast<uint8_t>(parts.bits_per_pixel);
  h[25] = static_cast<uint8_t>(static_cast<uint16_t>(parts.bits_per_pixel) >> 8);
  put32(h, 40, parts.bits_per_pixel == 8 ? 1088u : 64u);
  put32(h, 48,
        parts.override_lengths ? parts.flag_length : static_cast<uint32_t>(parts.flags.size()));
  put32(
      h, 52,
      parts.override_lengths ? parts.command_length : static_cast<uint32_t>(parts.commands.size()));
  return h;
}

Bytes test_palette() {
  Bytes p(1024);
  for (size_t i = 0; i < 256; ++i) {
    p[4 * i] = static_cast<uint8_t>(i);
    p[4 * i + 1] = static_cast<uint8_t>(255 - i);
    p[4 * i + 2] = static_cast<uint8_t>(i * 7);
    p[4 * i + 3] = 0;
  }
  return p;
}

Bytes make_picture(const PictureParts& parts) {
  Bytes out = make_header(parts);
  if (parts.bits_per_pixel == 8) {
    Bytes palette = parts.palette.empty() ? test_palette() : parts.palette;
    out.insert(out.end(), palette.begin(), palette.end());
  }
  out.insert(out.end(), parts.flags.begin(), parts.flags.end());
  out.insert(out.end(), parts.commands.begin(), parts.commands.end());
  out.insert(out.end(), parts.literals.begin(), parts.literals.end());
  return out;
}

Bytes make_literal_picture(int32_t width, int32_t height, int16_t bits_per_pixel,
                           const Bytes& pixels) {
  PictureParts parts;
  parts.width = width;
  parts.height = height;
  parts.bits_per_pixel = bits_per_pixel;
  parts.flags.assign((static_cast<size_t>(width) * height + 7) / 8, 0);
  parts.literals = pixels;
  return make_picture(parts);
}

uint32_t dib_stride(int32_t width, int16_t bits_per_pixel) {
  uint32_t row = static_cast<uint32_t>(width) * (bits_per_pixel / 8);
  return (row + 3) & ~3u;
}

Bytes to_dib_rows(const Bytes& pixels, int32_t width, int32_t height, int16_t bits_per_pixel) {
  const size_t bpp = bits_per_pixel / 8;
  const size_t row = static_cast<size_t>(width) * bpp;
  const size_t stride = dib_stride(width, bits_per_pixel);
  Bytes out(stride * height, 0);
  for (int32_t r = 0; r < height; ++r) {
    memcpy(out.data() + r * stride, pixels.data() + r * row, row);
  }
  return out;
}

Bytes random_bytes(size_t count, uint32_t seed) {
  Bytes out(count);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 7);
  }
  return out;
}

PictureParts random_picture_parts(int32_t width, int32_t height, uint32_t seed) {
  PictureParts parts;
  parts.width = width;
  parts.height = height;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  parts.flags = random_bytes((pixels + 7) / 8, seed);
  parts.commands = random_bytes((pixels + 2) / 3, seed + 1);
  parts.literals = random_bytes(pixels * 3, seed + 2);
  return parts;
}

ExactBuffer exact_copy(const Bytes& bytes) {
  ExactBuffer buffer;
  buffer.size = bytes.size();
  buffer.data.reset(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) memcpy(buffer.data.get(), bytes.data(), bytes.size());
  return buffer;
}

TempFile::TempFile(const Bytes& contents) {
  static std::atomic<int> counter{0};
  path = (std::filesystem::temp_directory_path() /
          ("tzf_test_" + std::to_string(tzf_getpid()) + "_" + std::to_string(counter++) + ".tzf"))
             .string();
  FILE* f = fopen(path.c_str(), "wb");
  if (f != nullptr) {
    if (!contents.empty()) fwrite(contents.data(), 1, contents.size(), f);
    fclose(f);
  }
}

TempFile::~TempFile() { std::remove(path.c_str()); }
