// PNG writing for builds without libpng (the Windows tools), with the zlib
// compressor of Debian's stb_image_write header.
//
// 8-bit pictures are written as paletted files (colour type 3) with their
// colour table and indices, as the libpng build writes them; stb_image_write
// only writes samples, so the chunks of those files are put together here.
// 24-bit pictures go through stb_image_write's own PNG writer.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "imageio/tzf_imageio.h"

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace tzf::imageio {
namespace {

// zlib's compression level for stbi_zlib_compress, the one its PNG writer uses.
constexpr int kZlibQuality = 8;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

// Length, type, data and the CRC of type and data.
void AppendChunk(std::vector<uint8_t>& out, const char (&type)[5], const uint8_t* data,
                 size_t length) {
  AppendU32(out, static_cast<uint32_t>(length));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (length > 0) out.insert(out.end(), data, data + length);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = start; i < out.size(); ++i) crc = kCrcTable[(crc ^ out[i]) & 0xFF] ^ (crc >> 8);
  AppendU32(out, crc ^ 0xFFFFFFFFu);
}

void AppendToVector(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size > 0) out->insert(out->end(), bytes, bytes + size);
}

bool EncodePalettedPng(const Image& image, std::vector<uint8_t>& out, std::string& error) {
  // Every index used must have a palette entry.
  int entries = image.palette_entries;
  for (uint8_t index : image.pixels) entries = std::max(entries, index + 1);
  entries = std::max(entries, 1);
  std::vector<uint8_t> plte(static_cast<size_t>(entries) * 3);
  for (size_t e = 0; e < static_cast<size_t>(entries); ++e) {
    plte[3 * e + 0] = image.palette[4 * e + 2];
    plte[3 * e + 1] = image.palette[4 * e + 1];
    plte[3 * e + 2] = image.palette[4 * e + 0];
  }

  // Each row behind filter type 0: filters rarely help palette indices.
  const size_t width = static_cast<size_t>(image.width);
  const size_t height = static_cast<size_t>(image.height);
  std::vector<uint8_t> raw((width + 1) * height);
  for (size_t r = 0; r < height; ++r) {
    raw[r * (width + 1)] = 0;
    std::memcpy(raw.data() + r * (width + 1) + 1, image.pixels.data() + r * width, width);
  }
  uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(image.width >> (24 - 8 * i));
    header[4 + i] = static_cast<uint8_t>(image.height >> (24 - 8 * i));
  }
  header[8] = 8;  // bits per index
  header[9] = 3;  // colour type: palette
  // Compression, filter method and interlacing stay 0.

  // ValidateImage bounds the picture to kMaxPixels, so the raw stream's
  // length fits in an int.
  unsigned char* compressed = nullptr;
  bool ok = false;
  do {
    int compressed_length = 0;
    compressed = stbi_zlib_compress(raw.data(), static_cast<int>(raw.size()), &compressed_length,
                                    kZlibQuality);
    if (compressed == nullptr || compressed_length <= 0) {
      error = "cannot encode PNG";
      break;
    }
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> result(kSignature, kSignature + sizeof kSignature);
    AppendChunk(result, "IHDR", header, sizeof header);
    AppendChunk(result, "PLTE", plte.data(), plte.size());
    AppendChunk(result, "IDAT", compressed, static_cast<size_t>(compressed_length));
    AppendChunk(result, "IEND", nullptr, 0);
    out = std::move(result);
    ok = true;
  } while (false);
  if (compressed != nullptr) STBIW_FREE(compressed);
  return ok;
}

}  // namespace

bool EncodePng(const Image& image, std::vector<uint8_t>& out, std::string& error) {
  if (!ValidateImage(image, error)) return false;
  if (image.bits_per_pixel == 8) return EncodePalettedPng(image, out, error);
  // ValidateImage bounds the picture to kMaxPixels, so every size below fits
  // in an int.
  const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  std::vector<uint8_t> rgb(count * 3);
  for (size_t i = 0; i < count; ++i) {
    rgb[3 * i + 0] = image.pixels[3 * i + 2];
    rgb[3 * i + 1] = image.pixels[3 * i + 1];
    rgb[3 * i + 2] = image.pixels[3 * i + 0];
  }
  std::vector<uint8_t> result;
  const int width = static_cast<int>(image.width);
  const int height = static_cast<int>(image.height);
  if (stbi_write_png_to_func(AppendToVector, &result, width, height, 3, rgb.data(), width * 3) ==
      0) {
    error = "cannot encode PNG";
    return false;
  }
  out = std::move(result);
  return true;
}

}  // namespace tzf::imageio
