// PNG reading through the stb headers, for builds without libpng (the
// Windows tools); png_write_stb.cpp writes them.
//
// stb_image hands every picture over as samples, never as palette indices:
// paletted files are read as 24-bit pictures. The pixels are the same as with
// libpng; only the depth differs. 16-bit samples keep their high byte, alpha
// channels and transparency are dropped.
#include <climits>
#include <cstring>

#include "imageio/tzf_imageio.h"

#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_MAX_DIMENSIONS (1 << 20)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace tzf::imageio {
namespace {

static_assert(STBI_MAX_DIMENSIONS == kMaxDimension, "stb's limit must be the tools' limit");

}  // namespace

bool DecodePng(std::span<const uint8_t> data, Image& image, std::string& error) {
  if (DetectFormat(data) != ImageFormat::kPng) {
    error = "not a PNG file";
    return false;
  }
  if (data.size() > static_cast<size_t>(INT_MAX)) {
    error = "invalid PNG: file too large";
    return false;
  }
  const auto* bytes = reinterpret_cast<const stbi_uc*>(data.data());
  const int length = static_cast<int>(data.size());

  // The header alone first: the size is checked before anything is allocated.
  int width = 0;
  int height = 0;
  int channels = 0;
  if (stbi_info_from_memory(bytes, length, &width, &height, &channels) == 0) {
    error = std::string("invalid PNG: ") + stbi_failure_reason();
    return false;
  }
  if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension ||
      int64_t{width} * height > kMaxPixels) {
    error = "PNG picture too large";
    return false;
  }

  stbi_uc* rgb = nullptr;
  bool ok = false;
  do {
    int got_width = 0;
    int got_height = 0;
    rgb = stbi_load_from_memory(bytes, length, &got_width, &got_height, &channels, 3);
    if (rgb == nullptr) {
      error = std::string("invalid PNG: ") + stbi_failure_reason();
      break;
    }
    if (got_width != width || got_height != height) {
      error = "invalid PNG: size changed while reading";
      break;
    }
    Image result;
    result.width = width;
    result.height = height;
    result.bits_per_pixel = 24;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    result.pixels.resize(count * 3);
    for (size_t i = 0; i < count; ++i) {
      result.pixels[3 * i + 0] = rgb[3 * i + 2];
      result.pixels[3 * i + 1] = rgb[3 * i + 1];
      result.pixels[3 * i + 2] = rgb[3 * i + 0];
    }
    image = std::move(result);
    ok = true;
  } while (false);
  if (rgb != nullptr) stbi_image_free(rgb);
  return ok;
}

}  // namespace tzf::imageio
