// PNG reading and writing through libpng.
//
// libpng reports errors by long-jumping back to the setjmp point. Each
// setjmp lives in a small function whose own locals stay untouched after
// the setjmp; every C++ object it fills is owned by the caller, so the jump
// never skips a destructor.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "imageio/tzf_imageio.h"

namespace tzf::imageio {
namespace {

struct PngMessage {
  char text[200];
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* out = static_cast<PngMessage*>(png_get_error_ptr(png));
  if (out != nullptr) {
    std::strncpy(out->text, message != nullptr ? message : "libpng error", sizeof out->text - 1);
    out->text[sizeof out->text - 1] = '\0';
  }
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

struct PngSource {
  const uint8_t* data;
  size_t size;
  size_t position;
};

void ReadFromMemory(png_structp png, png_bytep out, size_t length) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (length > src->size - src->position) png_error(png, "PNG data is truncated");
  std::memcpy(out, src->data + src->position, length);
  src->position += length;
}

void WriteToVector(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

// Reads the whole picture into `image`; false after a libpng error or an
// unsupported picture (message in `message`).
bool ReadPngBody(png_structp png, png_infop info, PngSource* source, Image* image,
                 std::vector<png_bytep>* rows, PngMessage* message) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, source, ReadFromMemory);
  png_set_user_limits(png, static_cast<png_uint_32>(kMaxDimension),
                      static_cast<png_uint_32>(kMaxDimension));
  png_read_info(png, info);

  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (uint64_t{width} * height > static_cast<uint64_t>(kMaxPixels)) {
    std::strcpy(message->text, "PNG picture too large");
    return false;
  }
  const int color_type = png_get_color_type(png, info);
  const int bit_depth = png_get_bit_depth(png, info);
  image->width = width;
  image->height = height;
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    png_colorp colors = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &colors, &count) == 0 || count <= 0 || count > 256) {
      std::strcpy(message->text, "paletted PNG without a valid palette");
      return false;
    }
    image->bits_per_pixel = 8;
    image->palette.assign(kPaletteBytes, 0);
    for (int e = 0; e < count; ++e) {
      image->palette[static_cast<size_t>(4 * e + 0)] = colors[e].blue;
      image->palette[static_cast<size_t>(4 * e + 1)] = colors[e].green;
      image->palette[static_cast<size_t>(4 * e + 2)] = colors[e].red;
    }
    image->palette_entries = count;
    if (bit_depth < 8) png_set_packing(png);
  } else {
    image->bits_per_pixel = 24;
    if (bit_depth == 16) png_set_scale_16(png);
    if ((color_type & PNG_COLOR_MASK_COLOR) == 0) {
      if (bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
      png_set_gray_to_rgb(png);
    }
    if ((color_type & PNG_COLOR_MASK_ALPHA) != 0) png_set_strip_alpha(png);
    png_set_bgr(png);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  const size_t row_bytes = size_t{width} * static_cast<size_t>(image->bits_per_pixel / 8);
  if (png_get_rowbytes(png, info) != row_bytes) {
    std::strcpy(message->text, "unexpected PNG row layout");
    return false;
  }
  image->pixels.resize(row_bytes * height);
  rows->resize(height);
  for (size_t r = 0; r < height; ++r) (*rows)[r] = image->pixels.data() + r * row_bytes;
  png_read_image(png, rows->data());
  png_read_end(png, nullptr);
  return true;
}

bool WritePngBody(png_structp png, png_infop info, const Image* image, std::vector<uint8_t>* out,
                  std::vector<png_bytep>* rows, const std::vector<png_color>* colors) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, out, WriteToVector, FlushNothing);
  const bool paletted = image->bits_per_pixel == 8;
  png_set_IHDR(png, info, static_cast<png_uint_32>(image->width),
               static_cast<png_uint_32>(image->height), 8,
               paletted ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (paletted) {
    png_set_PLTE(png, info, colors->data(), static_cast<int>(colors->size()));
  }
  png_write_info(png, info);
  if (!paletted) png_set_bgr(png);
  png_write_image(png, rows->data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool DecodePng(std::span<const uint8_t> data, Image& image, std::string& error) {
  if (DetectFormat(data) != ImageFormat::kPng) {
    error = "not a PNG file";
    return false;
  }
  PngMessage message{};
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    error = "cannot initialise libpng";
    return false;
  }
  PngSource source{data.data(), data.size(), 0};
  Image result;
  std::vector<png_bytep> rows;
  const bool ok = ReadPngBody(png, info, &source, &result, &rows, &message);
  png_destroy_read_struct(&png, &info, nullptr);
  if (!ok) {
    error = std::string("invalid PNG: ") + message.text;
    return false;
  }
  image = std::move(result);
  return true;
}

bool EncodePng(const Image& image, std::vector<uint8_t>& out, std::string& error) {
  if (!ValidateImage(image, error)) return false;
  if (image.width > 0x7fffffff || image.height > 0x7fffffff) {
    error = "picture too large for a PNG file";
    return false;
  }
  std::vector<png_color> colors;
  if (image.bits_per_pixel == 8) {
    // Every index used must have a palette entry.
    int entries = image.palette_entries;
    for (uint8_t index : image.pixels) entries = std::max(entries, index + 1);
    entries = std::max(entries, 1);
    colors.resize(static_cast<size_t>(entries));
    for (size_t e = 0; e < colors.size(); ++e) {
      colors[e].blue = image.palette[4 * e + 0];
      colors[e].green = image.palette[4 * e + 1];
      colors[e].red = image.palette[4 * e + 2];
    }
  }
  const size_t row_bytes = static_cast<size_t>(image.width * (image.bits_per_pixel / 8));
  std::vector<png_bytep> rows(static_cast<size_t>(image.height));
  for (size_t r = 0; r < rows.size(); ++r) {
    // libpng copies each row before transforming it; the data stays untouched.
    rows[r] = const_cast<png_bytep>(image.pixels.data() + r * row_bytes);
  }

  PngMessage message{};
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    error = "cannot initialise libpng";
    return false;
  }
  std::vector<uint8_t> result;
  const bool ok = WritePngBody(png, info, &image, &result, &rows, &colors);
  png_destroy_write_struct(&png, &info);
  if (!ok) {
    error = std::string("cannot encode PNG: ") + message.text;
    return false;
  }
  out = std::move(result);
  return true;
}

}  // namespace tzf::imageio
