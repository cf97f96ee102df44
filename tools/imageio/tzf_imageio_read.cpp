// Reading pictures of the common formats for encoding, through stb_image on
// every platform, so that one file gives the same pixels everywhere.
//
// stb_image hands every picture over as samples. For paletted files (PNG of
// colour type 3, BMP of 8 bits or fewer, GIF) the colour table is read here
// from the file and each decoded pixel is mapped back to the first entry of
// its colour: the picture keeps its table, and equal colours under two
// entries become the first of them.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "imageio/tzf_imageio.h"

#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_ONLY_GIF
#define STBI_ONLY_TGA
#define STBI_ONLY_PNM
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (1 << 20)
// stb_image leaves the pixels of a file that ends early as it found them (a
// PNM or uncompressed TGA reads its samples in one piece, or not at all):
// zeroed memory makes them black, the same on every run.
#define STBI_MALLOC(size) std::calloc(1, size)
#define STBI_REALLOC(pointer, size) std::realloc(pointer, size)
#define STBI_FREE(pointer) std::free(pointer)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

namespace tzf::imageio {
namespace {

static_assert(STBI_MAX_DIMENSIONS == kMaxDimension, "stb's limit must be the tools' limit");

uint32_t Read16Le(std::span<const uint8_t> d, size_t at) {
  return at + 2 <= d.size() ? uint32_t{d[at]} | uint32_t{d[at + 1]} << 8 : 0;
}
uint32_t Read32Le(std::span<const uint8_t> d, size_t at) {
  return at + 4 <= d.size() ? Read16Le(d, at) | Read16Le(d, at + 2) << 16 : 0;
}
uint32_t Read32Be(std::span<const uint8_t> d, size_t at) {
  return at + 4 <= d.size() ? uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 |
                                  uint32_t{d[at + 2]} << 8 | uint32_t{d[at + 3]}
                            : 0;
}

// The colour table of a paletted file, as red, green, blue; false when the
// file has none (or one this reader does not find).
struct ColourTable {
  uint8_t rgb[256][3] = {};
  int size = 0;
};

bool PngTable(std::span<const uint8_t> d, ColourTable& table) {
  // IHDR comes first: its colour type is byte 25 of the file.
  if (d.size() < 33 || d[25] != 3) return false;
  size_t at = 8;
  while (at + 12 <= d.size()) {
    const uint64_t length = Read32Be(d, at);
    if (length > d.size() - at - 12) return false;
    if (std::memcmp(d.data() + at + 4, "PLTE", 4) == 0) {
      if (length == 0 || length % 3 != 0 || length > 768) return false;
      table.size = static_cast<int>(length / 3);
      std::memcpy(table.rgb, d.data() + at + 8, static_cast<size_t>(length));
      return true;
    }
    if (std::memcmp(d.data() + at + 4, "IDAT", 4) == 0) return false;
    at += 12 + static_cast<size_t>(length);
  }
  return false;
}

bool BmpTable(std::span<const uint8_t> d, ColourTable& table) {
  if (d.size() < 26 || d[0] != 'B' || d[1] != 'M') return false;
  const uint32_t header = Read32Le(d, 14);
  uint32_t bits = 0;
  uint32_t used = 0;
  size_t entry_bytes = 4;
  if (header == 12) {
    bits = Read16Le(d, 24);
    entry_bytes = 3;
  } else if (header >= 40 && header <= 124) {
    bits = Read16Le(d, 28);
    used = Read32Le(d, 46);
  } else {
    return false;
  }
  if (bits != 1 && bits != 4 && bits != 8) return false;
  const uint32_t most = 1u << bits;
  const uint32_t count = used == 0 || used > most ? most : used;
  const size_t at = 14 + size_t{header};
  if (at + count * entry_bytes > d.size()) return false;
  for (uint32_t e = 0; e < count; ++e) {
    const uint8_t* p = d.data() + at + e * entry_bytes;
    table.rgb[e][0] = p[2];
    table.rgb[e][1] = p[1];
    table.rgb[e][2] = p[0];
  }
  table.size = static_cast<int>(count);
  return true;
}

// Skips a GIF's data sub-blocks from `at`; the offset after the terminator,
// or 0 when the data ends first.
size_t SkipGifBlocks(std::span<const uint8_t> d, size_t at) {
  while (at < d.size()) {
    const size_t n = d[at];
    if (n == 0) return at + 1;
    at += n + 1;
  }
  return 0;
}

bool GifTable(std::span<const uint8_t> d, ColourTable& table) {
  if (d.size() < 13 || std::memcmp(d.data(), "GIF8", 4) != 0) return false;
  size_t at = 13;
  size_t global_at = 0;
  int global_size = 0;
  if ((d[10] & 0x80) != 0) {
    global_at = at;
    global_size = 2 << (d[10] & 7);
    at += 3 * static_cast<size_t>(global_size);
  }
  // The first image's table: its own when it has one, else the global one.
  while (at < d.size()) {
    if (d[at] == 0x21) {
      if (at + 2 >= d.size()) return false;
      at = SkipGifBlocks(d, at + 2);
      if (at == 0) return false;
    } else if (d[at] == 0x2C) {
      if (at + 10 > d.size()) return false;
      const uint8_t flags = d[at + 9];
      size_t table_at = global_at;
      int size = global_size;
      if ((flags & 0x80) != 0) {
        table_at = at + 10;
        size = 2 << (flags & 7);
      }
      if (size == 0 || table_at + 3 * static_cast<size_t>(size) > d.size()) return false;
      std::memcpy(table.rgb, d.data() + table_at, 3 * static_cast<size_t>(size));
      table.size = size;
      return true;
    } else {
      return false;
    }
  }
  return false;
}

// The most pixels a file can describe per byte it holds. The densest of the
// formats read is a PNG of 1 bit per pixel: deflate gives at most 1032 bytes
// per byte, of 8 pixels each (a GIF's 12-bit code gives at most 4096 pixels,
// a JPEG at least a bit per block of 64). A header declaring more for the
// size of its file is refused before stb_image allocates the pixels.
constexpr int64_t kMaxPixelsPerByte = 16384;

// stb_image reserves each of a PNG's image data chunks (up to 2^30 bytes)
// before reading it: every chunk up to the end marker must lie in the file.
bool IsPng(std::span<const uint8_t> d) {
  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return d.size() >= 8 && std::memcmp(d.data(), kSignature, 8) == 0;
}

bool IsBmp(std::span<const uint8_t> d) { return d.size() >= 2 && d[0] == 'B' && d[1] == 'M'; }

bool PngChunksFit(std::span<const uint8_t> d) {
  if (!IsPng(d)) return true;
  size_t at = 8;
  while (at + 8 <= d.size()) {
    const uint64_t length = Read32Be(d, at);
    if (length > d.size() - at - 8) return false;
    if (std::memcmp(d.data() + at + 4, "IEND", 4) == 0) return true;
    at += 12 + static_cast<size_t>(length);
  }
  return true;  // stb_image finds the file short before it reserves more
}

// stb_image adds up the digits of a PNM header's numbers in an int without a
// bound: a number of more than nine digits is refused before it reads one.
bool PnmNumbersFit(std::span<const uint8_t> d) {
  if (d.size() < 2 || d[0] != 'P' || (d[1] != '5' && d[1] != '6')) return true;
  const auto space = [](uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t at = 2;
  for (int number = 0; number < 3; ++number) {
    for (;;) {
      while (at < d.size() && space(d[at])) ++at;
      if (at >= d.size() || d[at] != '#') break;
      while (at < d.size() && d[at] != '\n' && d[at] != '\r') ++at;
    }
    size_t digits = 0;
    for (; at < d.size() && d[at] >= '0' && d[at] <= '9'; ++at) ++digits;
    if (digits > 9) return false;
  }
  return true;
}

// stb_image builds a JPEG's Huffman tables in arrays of 256 codes without
// checking the counts the file gives: every table, wherever the markers put
// it, must hold at most 256. Follows the markers as stb_image does: segments
// by their length, scan data up to the next marker.
bool JpegTablesFit(std::span<const uint8_t> d) {
  size_t at = 0;
  while (at < d.size() && d[at] == 0xFF) ++at;
  if (at < 1 || at >= d.size() || d[at] != 0xD8) return true;
  ++at;
  const auto byte = [d](size_t i) -> uint32_t { return i < d.size() ? d[i] : 0; };
  for (;;) {
    while (at < d.size() && d[at] != 0xFF) ++at;
    while (at < d.size() && d[at] == 0xFF) ++at;
    if (at + 2 >= d.size()) return true;
    const uint32_t marker = d[at++];
    if (marker == 0xD9) return true;
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
      continue;
    }
    const uint32_t length = byte(at) << 8 | byte(at + 1);
    if (marker != 0xC4) {
      at += length;
      continue;
    }
    // Read on as stb_image does, past the segment when its length is wrong.
    int64_t left = int64_t{length} - 2;
    at += 2;
    while (left > 0) {
      const uint32_t kind = byte(at);
      if (kind >> 4 > 1 || (kind & 15) > 3) return true;  // refused by stb_image
      uint32_t codes = 0;
      for (size_t i = 1; i <= 16; ++i) codes += byte(at + i);
      if (codes > 256) return false;
      at += 17 + codes;
      left -= 17 + int64_t{codes};
    }
    if (left != 0) return true;  // refused by stb_image
  }
}

bool FindTable(std::span<const uint8_t> d, ColourTable& table) {
  if (IsPng(d)) return PngTable(d, table);
  if (IsBmp(d)) return BmpTable(d, table);
  return GifTable(d, table);
}

// stb_image takes the colour of an index past a PNG's or BMP's colour table
// from memory it never wrote. It reads instead a copy of the file whose table
// has every entry an index can reach: the file's, then a grey that none of
// them has, which marks the pixel as past the table.
void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutTable(const ColourTable& table, int entries, size_t entry_bytes, bool rgb,
              std::vector<uint8_t>& out) {
  uint8_t absent = 0;
  for (int e = 0; e < table.size; ++e) {
    if (table.rgb[e][0] == absent && table.rgb[e][1] == absent && table.rgb[e][2] == absent) {
      ++absent;
      e = -1;
    }
  }
  for (int e = 0; e < entries; ++e) {
    const uint8_t* c = table.rgb[e];
    const uint8_t grey[3] = {absent, absent, absent};
    if (e >= table.size) c = grey;
    const uint8_t entry[4] = {rgb ? c[0] : c[2], c[1], rgb ? c[2] : c[0], 0};
    out.insert(out.end(), entry, entry + entry_bytes);
  }
}

// A paletted PNG's copy (empty when the table is full); false when the file
// is invalid: a second colour table, or more transparency entries than
// colours.
bool PadPngTable(std::span<const uint8_t> d, const ColourTable& table, std::vector<uint8_t>& out) {
  size_t table_at = 0;
  size_t at = 8;
  while (at + 12 <= d.size()) {
    const size_t length = Read32Be(d, at);
    if (length > d.size() - at - 12) break;
    const uint8_t* type = d.data() + at + 4;
    if (std::memcmp(type, "PLTE", 4) == 0) {
      if (table_at != 0) return false;
      table_at = at;
    }
    if (std::memcmp(type, "tRNS", 4) == 0 && table_at != 0 &&
        length > static_cast<size_t>(table.size)) {
      return false;
    }
    if (std::memcmp(type, "IEND", 4) == 0) break;
    at += 12 + length;
  }
  if (table_at == 0 || table.size == 256) return true;
  const size_t table_end = table_at + 12 + Read32Be(d, table_at);
  out.reserve(d.size() + 768);
  out.assign(d.begin(), d.begin() + static_cast<ptrdiff_t>(table_at));
  PutBe32(out, 768);
  out.insert(out.end(), {'P', 'L', 'T', 'E'});
  PutTable(table, 256, 3, true, out);
  PutBe32(out, 0);  // stb_image skips the check value
  out.insert(out.end(), d.begin() + static_cast<ptrdiff_t>(table_end), d.end());
  return true;
}

// A BMP's copy when it has a colour table; false when the table does not lie
// in the file or the pixels start before the end of its first entry.
// stb_image counts the entries from the offset of the pixels (12 bytes fewer
// in an OS/2 file).
bool PadBmpTable(std::span<const uint8_t> d, bool paletted, const ColourTable& table,
                 std::vector<uint8_t>& out) {
  const uint32_t header = Read32Le(d, 14);
  const bool core = header == 12;
  const uint32_t bits = core ? Read16Le(d, 24) : Read16Le(d, 28);
  if (bits > 8) return true;
  if (!paletted) return false;
  const size_t entry_bytes = core ? 3 : 4;
  const uint64_t pixels_at = Read32Le(d, 10);
  const size_t table_at = 14 + size_t{header};
  if (pixels_at < table_at + entry_bytes) return false;
  const int entries = 1 << bits;
  out.reserve(d.size() + 1024 + 12);
  out.assign(d.begin(), d.begin() + static_cast<ptrdiff_t>(table_at));
  PutTable(table, entries, entry_bytes, false, out);
  if (core) out.insert(out.end(), 12, 0);
  const uint32_t new_pixels_at = static_cast<uint32_t>(out.size());
  for (int i = 0; i < 4; ++i) out[10 + i] = static_cast<uint8_t>(new_pixels_at >> (8 * i));
  if (pixels_at < d.size()) {
    out.insert(out.end(), d.begin() + static_cast<ptrdiff_t>(pixels_at), d.end());
  }
  return true;
}

uint32_t Key(const uint8_t* rgb) {
  return uint32_t{rgb[0]} << 16 | uint32_t{rgb[1]} << 8 | uint32_t{rgb[2]};
}

// Indices of the RGBA pixels through `table`; false when the colour of a
// pixel is not in it (an index past the table, whose colour stb_image leaves
// undefined). Pixels that are not opaque are checked only when `every`: a
// GIF's transparent pixels come as transparent black.
bool MapToTable(const ColourTable& table, const stbi_uc* rgba, size_t count, bool every,
                std::vector<uint8_t>& indices) {
  std::unordered_map<uint32_t, uint8_t> index;
  for (int e = table.size - 1; e >= 0; --e) index[Key(table.rgb[e])] = static_cast<uint8_t>(e);
  indices.resize(count);
  for (size_t i = 0; i < count; ++i) {
    if (!every && rgba[4 * i + 3] != 255) continue;
    const auto found = index.find(Key(rgba + 4 * i));
    if (found == index.end()) return false;
    indices[i] = found->second;
  }
  return true;
}

}  // namespace

bool ReadPicture(std::span<const uint8_t> data, Picture& picture, std::string& error) {
  return ReadPicture(data, kMaxPixels, picture, error);
}

bool ReadPicture(std::span<const uint8_t> data, int64_t max_pixels, Picture& picture,
                 std::string& error) {
  if (data.size() > static_cast<size_t>(INT_MAX)) {
    error = "file too large";
    return false;
  }
  const auto* bytes = reinterpret_cast<const stbi_uc*>(data.data());
  const int length = static_cast<int>(data.size());

  if (!PnmNumbersFit(data)) {
    error = "invalid picture: a number of the header is too long";
    return false;
  }
  if (!JpegTablesFit(data)) {
    error = "invalid picture: a Huffman table of more than 256 codes";
    return false;
  }

  // The header alone first: the size is checked before anything is allocated.
  int width = 0;
  int signed_height = 0;
  int channels = 0;
  if (stbi_info_from_memory(bytes, length, &width, &signed_height, &channels) == 0) {
    error = std::string("not a picture tzfenc reads (") + stbi_failure_reason() + ")";
    return false;
  }
  // A BMP stored top row first gives its height negated.
  const int64_t height = signed_height < 0 ? -int64_t{signed_height} : signed_height;
  const int64_t pixels = int64_t{width} * height;
  if (width <= 0 || height <= 0) {
    error = "invalid picture: no pixels";
    return false;
  }
  if (width > kMaxDimension || height > kMaxDimension || pixels > kMaxPixels ||
      pixels > max_pixels) {
    error = "picture too large (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return false;
  }
  if (pixels > kMaxPixelsPerByte * static_cast<int64_t>(data.size()) || !PngChunksFit(data)) {
    error = "invalid picture: the file is too short for its header";
    return false;
  }

  // stb_image 2.27 converts the samples of a 16-bit PNM to the channels
  // asked for as if they were 8-bit, past the end of its buffer (a 16-bit
  // PNG's conversion is right). Such files come in their own channels,
  // made red, green, blue, alpha here.
  const bool own_channels = stbi_is_16_bit_from_memory(bytes, length) != 0 && !IsPng(data);

  ColourTable table;
  const bool paletted = FindTable(data, table);
  std::vector<uint8_t> padded;
  if (paletted && IsPng(data) && !PadPngTable(data, table, padded)) {
    error = "invalid picture: a second colour table, or transparency past the colour table";
    return false;
  }
  if (IsBmp(data) && !PadBmpTable(data, paletted, table, padded)) {
    error = "invalid picture: the colour table is missing or overlaps the pixels";
    return false;
  }
  if (padded.size() > static_cast<size_t>(INT_MAX)) {
    error = "file too large";
    return false;
  }
  const auto* load_bytes = padded.empty() ? bytes : padded.data();
  const int load_length = padded.empty() ? length : static_cast<int>(padded.size());

  stbi_uc* samples = nullptr;
  bool ok = false;
  do {
    int got_width = 0;
    int got_height = 0;
    samples = stbi_load_from_memory(load_bytes, load_length, &got_width, &got_height, &channels,
                                    own_channels ? 0 : 4);
    if (samples == nullptr) {
      error = std::string("invalid picture (") + stbi_failure_reason() + ")";
      break;
    }
    if (got_width != width || got_height != height) {
      error = "invalid picture: the size changed while reading";
      break;
    }
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    const stbi_uc* rgba = samples;
    std::vector<uint8_t> widened;
    if (own_channels) {
      if (channels < 1 || channels > 4) {
        error = "invalid picture: " + std::to_string(channels) + " channels";
        break;
      }
      const size_t n = static_cast<size_t>(channels);
      widened.resize(count * 4);
      for (size_t i = 0; i < count; ++i) {
        const stbi_uc* in = samples + n * i;
        uint8_t* out = &widened[4 * i];
        if (n < 3) {
          out[0] = out[1] = out[2] = in[0];
        } else {
          std::memcpy(out, in, 3);
        }
        out[3] = n == 2 || n == 4 ? in[n - 1] : 255;
      }
      rgba = widened.data();
    }
    bool opaque = true;
    for (size_t i = 0; i < count && opaque; ++i) opaque = rgba[4 * i + 3] == 255;

    Picture result;
    result.width = width;
    result.height = height;
    result.paletted = paletted;
    const bool gif = data[0] == 'G';
    if (result.paletted && !MapToTable(table, rgba, count, !gif, result.pixels)) {
      error = "invalid picture: a pixel's index lies past the colour table";
      break;
    }
    if (result.paletted && opaque) {
      result.layout = Picture::Layout::kIndex;
      std::memcpy(result.palette, table.rgb, sizeof table.rgb);
      result.palette_size = table.size;
    } else if (opaque) {
      result.layout = Picture::Layout::kRgb;
      result.pixels.resize(count * 3);
      for (size_t i = 0; i < count; ++i) std::memcpy(&result.pixels[3 * i], rgba + 4 * i, 3);
    } else {
      result.layout = Picture::Layout::kRgba;
      result.pixels.assign(rgba, rgba + count * 4);
    }
    picture = std::move(result);
    ok = true;
  } while (false);
  if (samples != nullptr) stbi_image_free(samples);
  return ok;
}

}  // namespace tzf::imageio
