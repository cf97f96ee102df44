// BMP files written straight from the DIB blocks, and the conversion of the
// blocks to an imageio Image for PNG output.
#include "tzfconv/dib_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tzf::conv {

namespace {

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void StoreU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

constexpr uint32_t kBiRgb = 0;

struct FilePart {
  const uint8_t* data;
  size_t length;
};

// Writes the parts one after the other to standard output.
bool WriteStandardOutput(const FilePart* parts, size_t count, std::string& error) {
  errno = 0;
  size_t i = 0;
  while (i < count && std::fwrite(parts[i].data, 1, parts[i].length, stdout) == parts[i].length)
    ++i;
  if (i < count || std::fflush(stdout) != 0) {
    error = errno != 0 ? std::strerror(errno) : "write error";
    return false;
  }
  return true;
}

// Writes the parts one after the other; a failed write leaves no file.
bool WriteFileParts(const std::string& path, const FilePart* parts, size_t count,
                    std::string& error) {
  if (path == kStandardStream) return WriteStandardOutput(parts, count, error);
  std::FILE* file = nullptr;
  bool written = false;
  do {
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      error = std::strerror(errno);
      break;
    }
    errno = 0;
    size_t i = 0;
    while (i < count && std::fwrite(parts[i].data, 1, parts[i].length, file) == parts[i].length)
      ++i;
    if (i < count) {
      error = errno != 0 ? std::strerror(errno) : "write error";
      break;
    }
    written = true;
  } while (false);
  if (file != nullptr) {
    if (std::fclose(file) != 0 && written) {
      error = std::strerror(errno);
      written = false;
    }
    if (!written) std::remove(path.c_str());
  }
  return written;
}

}  // namespace

bool ReadDib(const uint8_t* info, const uint8_t* pixels, int32_t expected_width,
             int32_t expected_height, int expected_bits, DibView& view, std::string& error) {
  view = DibView{};
  if (info == nullptr || pixels == nullptr) {
    error = "missing picture block";
    return false;
  }
  const uint32_t header_size = LoadU32(info);
  const int32_t width = static_cast<int32_t>(LoadU32(info + 4));
  const int32_t height = static_cast<int32_t>(LoadU32(info + 8));
  const uint16_t planes = LoadU16(info + 12);
  const uint16_t bits = LoadU16(info + 14);
  const uint32_t compression = LoadU32(info + 16);
  const uint32_t colours_used = LoadU32(info + 32);
  if (header_size != kInfoHeaderSize || planes != 1 || compression != kBiRgb) {
    error = "unexpected info header";
    return false;
  }
  if (width != expected_width || height != expected_height || bits != expected_bits) {
    error = "info header (" + std::to_string(width) + "x" + std::to_string(height) + ", " +
            std::to_string(bits) + "-bit) disagrees with the picture information";
    return false;
  }
  if (width <= 0 || height <= 0 || (bits != 8 && bits != 24)) {
    error = "unsupported size or depth";
    return false;
  }
  uint32_t entries = 0;
  if (bits == 8) {
    entries = colours_used == 0 ? 256 : colours_used;
    if (entries > 256) {
      error = "colour table with more than 256 entries";
      return false;
    }
  }
  const uint64_t row_bytes = static_cast<uint64_t>(width) * (bits / 8);
  const uint64_t stride = (row_bytes + 3) / 4 * 4;
  const uint64_t pixel_length = stride * static_cast<uint64_t>(height);
  if (pixel_length > 0xFFFFFFFFull) {
    error = "picture too large";
    return false;
  }
  view.width = width;
  view.height = height;
  view.bits_per_pixel = bits;
  view.info = info;
  view.info_length = kInfoHeaderSize + entries * 4;
  view.colour_table = entries > 0 ? info + kInfoHeaderSize : nullptr;
  view.colour_entries = entries;
  view.pixels = pixels;
  view.row_stride = static_cast<uint32_t>(stride);
  view.pixel_length = static_cast<uint32_t>(pixel_length);
  return true;
}

bool MakeBmpFileHeader(const DibView& view, uint8_t (&header)[kFileHeaderSize]) {
  const uint64_t offset = uint64_t{kFileHeaderSize} + view.info_length;
  const uint64_t size = offset + view.pixel_length;
  if (size > 0xFFFFFFFFull) return false;
  std::memset(header, 0, kFileHeaderSize);
  header[0] = 'B';
  header[1] = 'M';
  StoreU32(header + 2, static_cast<uint32_t>(size));
  // Two reserved 16-bit words stay 0.
  StoreU32(header + 10, static_cast<uint32_t>(offset));
  return true;
}

bool WriteBmpFile(const std::string& path, const DibView& view, std::string& error) {
  uint8_t header[kFileHeaderSize];
  if (!MakeBmpFileHeader(view, header)) {
    error = "picture too large for a BMP file";
    return false;
  }
  const FilePart parts[] = {
      {header, kFileHeaderSize}, {view.info, view.info_length}, {view.pixels, view.pixel_length}};
  return WriteFileParts(path, parts, 3, error);
}

#if TZFCONV_HAVE_PNG
imageio::Image DibToImage(const DibView& view) {
  imageio::Image image;
  image.width = view.width;
  image.height = view.height;
  image.bits_per_pixel = view.bits_per_pixel;
  const size_t row_bytes = static_cast<size_t>(view.width) * (view.bits_per_pixel / 8);
  image.pixels.resize(row_bytes * static_cast<size_t>(view.height));
  for (int32_t row = 0; row < view.height; ++row) {
    // Stored row 0 is the bottom of the picture.
    const uint8_t* from =
        view.pixels + static_cast<size_t>(view.height - 1 - row) * view.row_stride;
    std::memcpy(image.pixels.data() + static_cast<size_t>(row) * row_bytes, from, row_bytes);
  }
  if (view.bits_per_pixel == 8) {
    image.palette.assign(imageio::kPaletteBytes, 0);
    for (uint32_t i = 0; i < view.colour_entries; ++i) {
      image.palette[i * 4 + 0] = view.colour_table[i * 4 + 0];
      image.palette[i * 4 + 1] = view.colour_table[i * 4 + 1];
      image.palette[i * 4 + 2] = view.colour_table[i * 4 + 2];
    }
    image.palette_entries = static_cast<int>(view.colour_entries);
  }
  return image;
}

bool WritePngFile(const std::string& path, const DibView& view, std::string& error) {
  std::vector<uint8_t> bytes;
  if (!imageio::EncodePng(DibToImage(view), bytes, error)) return false;
  const FilePart part = {bytes.data(), bytes.size()};
  return WriteFileParts(path, &part, 1, error);
}
#endif

}  // namespace tzf::conv
