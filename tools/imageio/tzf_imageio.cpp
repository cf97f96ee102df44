// Format detection, file access and pixel conversions.
#include "imageio/tzf_imageio.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace tzf::imageio {

ImageFormat DetectFormat(std::span<const uint8_t> data) {
  static constexpr uint8_t kPngMagic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() >= 8 && std::memcmp(data.data(), kPngMagic, 8) == 0) return ImageFormat::kPng;
  if (data.size() >= 2 && data[0] == 'B' && data[1] == 'M') return ImageFormat::kBmp;
  return ImageFormat::kUnknown;
}

bool ValidateImage(const Image& image, std::string& error) {
  if (image.width <= 0 || image.height <= 0) {
    error = "width and height must be positive";
    return false;
  }
  if (image.width > kMaxDimension || image.height > kMaxDimension ||
      image.width * image.height > kMaxPixels) {
    error = "picture too large";
    return false;
  }
  if (image.bits_per_pixel != 8 && image.bits_per_pixel != 24) {
    error = "bits per pixel must be 8 or 24";
    return false;
  }
  const uint64_t expected =
      static_cast<uint64_t>(image.width * image.height * (image.bits_per_pixel / 8));
  if (image.pixels.size() != expected) {
    error = "pixel buffer size does not match the dimensions";
    return false;
  }
  if (image.bits_per_pixel == 8 && (image.palette.size() != kPaletteBytes ||
                                    image.palette_entries < 0 || image.palette_entries > 256)) {
    error = "8-bit picture needs a 1024-byte palette with at most 256 entries";
    return false;
  }
  return true;
}

bool DecodeImage(std::span<const uint8_t> data, Image& image, std::string& error) {
  switch (DetectFormat(data)) {
    case ImageFormat::kPng:
      return DecodePng(data, image, error);
    case ImageFormat::kBmp:
      return DecodeBmp(data, image, error);
    case ImageFormat::kUnknown:
      break;
  }
  error = "not a PNG or BMP file";
  return false;
}

bool LoadFileBytes(const std::string& path, std::vector<uint8_t>& data, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  data.clear();
  std::array<uint8_t, 65536> buffer;
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    data.insert(data.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

bool SaveFileBytes(const std::string& path, std::span<const uint8_t> data, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    error = "cannot write " + path;
    std::remove(path.c_str());
    return false;
  }
  return true;
}

namespace {

// Reverses the row order of a tightly packed buffer.
std::vector<uint8_t> FlipRows(std::span<const uint8_t> rows, size_t row_bytes, size_t height) {
  std::vector<uint8_t> out(row_bytes * height);
  for (size_t r = 0; r < height; ++r) {
    std::memcpy(out.data() + r * row_bytes, rows.data() + (height - 1 - r) * row_bytes, row_bytes);
  }
  return out;
}

}  // namespace

std::vector<uint8_t> ToDecodingOrder(const Image& image) {
  const size_t row_bytes = static_cast<size_t>(image.width * (image.bits_per_pixel / 8));
  return FlipRows(image.pixels, row_bytes, static_cast<size_t>(image.height));
}

Image FromDecodingOrder(int64_t width, int64_t height, int bits_per_pixel,
                        std::span<const uint8_t> rows, std::span<const uint8_t> palette) {
  Image image;
  image.width = width;
  image.height = height;
  image.bits_per_pixel = bits_per_pixel;
  const size_t row_bytes = static_cast<size_t>(width * (bits_per_pixel / 8));
  if (rows.size() >= row_bytes * static_cast<size_t>(height)) {
    image.pixels = FlipRows(rows, row_bytes, static_cast<size_t>(height));
  }
  if (bits_per_pixel == 8) {
    image.palette.assign(kPaletteBytes, 0);
    const size_t n = std::min<size_t>(palette.size() / 4 * 4, kPaletteBytes);
    std::copy_n(palette.begin(), n, image.palette.begin());
    for (size_t e = 3; e < n; e += 4) image.palette[e] = 0;
    image.palette_entries = static_cast<int>(n / 4);
  }
  return image;
}

Image ExpandToTrueColor(const Image& image) {
  if (image.bits_per_pixel != 8) return image;
  Image out;
  out.width = image.width;
  out.height = image.height;
  out.bits_per_pixel = 24;
  out.pixels.resize(image.pixels.size() * 3);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    const uint8_t* entry = image.palette.data() + 4 * size_t{image.pixels[i]};
    std::memcpy(out.pixels.data() + 3 * i, entry, 3);
  }
  return out;
}

namespace {

uint32_t ColorKey(const uint8_t* bgr) {
  return uint32_t{bgr[0]} | uint32_t{bgr[1]} << 8 | uint32_t{bgr[2]} << 16;
}

// For each 8-bit sample value, the nearest of `levels` evenly spread levels.
std::array<uint8_t, 256> NearestLevel(int levels) {
  std::array<uint8_t, 256> nearest{};
  for (int v = 0; v < 256; ++v) {
    int best = 0;
    for (int k = 1; k < levels; ++k) {
      const int level = (k * 255 + (levels - 1) / 2) / (levels - 1);
      const int best_level = (best * 255 + (levels - 1) / 2) / (levels - 1);
      if (std::abs(v - level) < std::abs(v - best_level)) best = k;
    }
    nearest[static_cast<size_t>(v)] = static_cast<uint8_t>(best);
  }
  return nearest;
}

uint8_t LevelValue(int k, int levels) {
  return static_cast<uint8_t>((k * 255 + (levels - 1) / 2) / (levels - 1));
}

}  // namespace

Image QuantizeToPalette(const Image& image) {
  if (image.bits_per_pixel != 24) return image;
  Image out;
  out.width = image.width;
  out.height = image.height;
  out.bits_per_pixel = 8;
  out.palette.assign(kPaletteBytes, 0);
  const size_t n = image.pixels.size() / 3;
  out.pixels.resize(n);

  // Exact palette when the picture has few enough colours.
  std::unordered_map<uint32_t, uint8_t> index;
  index.reserve(512);
  bool exact = true;
  for (size_t i = 0; i < n && exact; ++i) {
    index.emplace(ColorKey(image.pixels.data() + 3 * i), 0);
    exact = index.size() <= 256;
  }
  if (exact) {
    std::vector<uint32_t> colors;
    colors.reserve(index.size());
    for (const auto& kv : index) colors.push_back(kv.first);
    std::sort(colors.begin(), colors.end());
    for (size_t e = 0; e < colors.size(); ++e) {
      index[colors[e]] = static_cast<uint8_t>(e);
      out.palette[4 * e + 0] = static_cast<uint8_t>(colors[e]);
      out.palette[4 * e + 1] = static_cast<uint8_t>(colors[e] >> 8);
      out.palette[4 * e + 2] = static_cast<uint8_t>(colors[e] >> 16);
    }
    out.palette_entries = static_cast<int>(colors.size());
    for (size_t i = 0; i < n; ++i) out.pixels[i] = index[ColorKey(image.pixels.data() + 3 * i)];
    return out;
  }

  constexpr int kRed = 6, kGreen = 7, kBlue = 6;
  for (int r = 0; r < kRed; ++r) {
    for (int g = 0; g < kGreen; ++g) {
      for (int b = 0; b < kBlue; ++b) {
        const size_t e = static_cast<size_t>((r * kGreen + g) * kBlue + b);
        out.palette[4 * e + 0] = LevelValue(b, kBlue);
        out.palette[4 * e + 1] = LevelValue(g, kGreen);
        out.palette[4 * e + 2] = LevelValue(r, kRed);
      }
    }
  }
  out.palette_entries = kRed * kGreen * kBlue;
  const std::array<uint8_t, 256> near6 = NearestLevel(kRed);
  const std::array<uint8_t, 256> near7 = NearestLevel(kGreen);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = image.pixels.data() + 3 * i;
    out.pixels[i] =
        static_cast<uint8_t>((near6[p[2]] * kGreen + near7[p[1]]) * kBlue + near6[p[0]]);
  }
  return out;
}

}  // namespace tzf::imageio
