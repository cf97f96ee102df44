#include "tests/corpus/corpus_files.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kStoredBlockMax = 65535;

uint32_t crc32_of(const uint8_t* p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t adler32_of(const uint8_t* p, size_t n) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < n; ++i) {
    a = (a + p[i]) % 65521u;
    b = (b + a) % 65521u;
  }
  return b << 16 | a;
}

void put_be32(CorpusBytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

uint32_t get_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put_chunk(CorpusBytes& out, const char* kind, const CorpusBytes& body) {
  put_be32(out, static_cast<uint32_t>(body.size()));
  const size_t start = out.size();
  out.insert(out.end(), kind, kind + 4);
  out.insert(out.end(), body.begin(), body.end());
  put_be32(out, crc32_of(out.data() + start, out.size() - start));
}

}  // namespace

bool read_whole_file(const std::string& path, CorpusBytes& out) {
  out.clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + got);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

bool write_whole_file(const std::string& path, const CorpusBytes& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && written;
}

bool read_expected(const std::string& dir, std::vector<CorpusEntry>& entries, std::string& error) {
  entries.clear();
  CorpusBytes text;
  if (!read_whole_file(dir + "/expected.tsv", text)) {
    error = "cannot read " + dir + "/expected.tsv";
    return false;
  }
  std::string all(text.begin(), text.end());
  size_t at = 0;
  int line_number = 0;
  while (at < all.size()) {
    size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(at, end - at);
    at = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    CorpusEntry e;
    if (tab2 != std::string::npos) {
      e.file = line.substr(0, tab1);
      e.klass = line.substr(tab1 + 1, tab2 - tab1 - 1);
      const std::string rows = line.substr(tab2 + 1);
      char* rest = nullptr;
      const unsigned long value = strtoul(rows.c_str(), &rest, 10);
      e.rows_held = static_cast<uint32_t>(value);
      const bool known = e.klass == "ok" || e.klass == "truncated" || e.klass == "not-tzf" ||
                         e.klass == "bad-size" || e.klass == "limit";
      if (known && !rows.empty() && *rest == '\0' && value <= 0xFFFFFFFFul && e.file.size() > 4 &&
          e.file.compare(e.file.size() - 4, 4, ".tzf") == 0) {
        entries.push_back(e);
        continue;
      }
    }
    error = "expected.tsv line " + std::to_string(line_number) + " is malformed: " + line;
    return false;
  }
  return true;
}

CorpusBytes png_encode(const RgbImage& image) {
  const size_t row = static_cast<size_t>(image.width) * 3;
  CorpusBytes raw;
  for (uint32_t y = 0; y < image.height; ++y) {
    raw.push_back(0);  // filter: none
    raw.insert(raw.end(), image.rgb.begin() + static_cast<ptrdiff_t>(y * row),
               image.rgb.begin() + static_cast<ptrdiff_t>((y + 1) * row));
  }
  CorpusBytes z = {0x78, 0x01};
  size_t at = 0;
  do {
    const size_t n = raw.size() - at < kStoredBlockMax ? raw.size() - at : kStoredBlockMax;
    z.push_back(at + n == raw.size() ? 1 : 0);  // final bit, type 00 (stored)
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + static_cast<ptrdiff_t>(at),
             raw.begin() + static_cast<ptrdiff_t>(at + n));
    at += n;
  } while (at < raw.size());
  put_be32(z, adler32_of(raw.data(), raw.size()));

  CorpusBytes out(kPngSignature, kPngSignature + 8);
  CorpusBytes ihdr;
  put_be32(ihdr, image.width);
  put_be32(ihdr, image.height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  put_chunk(out, "IHDR", ihdr);
  put_chunk(out, "IDAT", z);
  put_chunk(out, "IEND", {});
  return out;
}

bool png_decode(const CorpusBytes& file, PngPicture& picture) {
  picture = PngPicture{};
  RgbImage& image = picture.image;
  if (file.size() < 8 || memcmp(file.data(), kPngSignature, 8) != 0) return false;
  size_t at = 8;
  CorpusBytes z;
  bool have_header = false, have_palette = false, ended = false;
  bool data_seen = false, data_ended = false;  // the IDAT chunks follow each other
  while (!ended) {
    if (file.size() - at < 12) return false;
    const uint32_t length = get_be32(&file[at]);
    if (length > file.size() - at - 12) return false;
    const uint8_t* kind = &file[at + 4];
    const uint8_t* body = kind + 4;
    if (crc32_of(kind, length + 4) != get_be32(body + length)) return false;
    const bool is_header = memcmp(kind, "IHDR", 4) == 0;
    if (is_header != !have_header) return false;  // IHDR first, and once
    if (is_header) {
      // 8 bits a sample; deflate, filter method 0, not interlaced.
      if (length != 13 || body[8] != 8 || body[10] != 0 || body[11] != 0 || body[12] != 0) {
        return false;
      }
      picture.colour_type = body[9];
      if (picture.colour_type != 2 && picture.colour_type != 3 && picture.colour_type != 6)
        return false;
      image.width = get_be32(body);
      image.height = get_be32(body + 4);
      have_header = true;
    } else if (memcmp(kind, "PLTE", 4) == 0) {
      if (picture.colour_type != 3 || have_palette || data_seen || length == 0 || length % 3 != 0 ||
          length > 256 * 3) {
        return false;
      }
      picture.palette.assign(body, body + length);
      have_palette = true;
    } else if (memcmp(kind, "IDAT", 4) == 0) {
      if (data_ended) return false;
      data_seen = true;
      z.insert(z.end(), body, body + length);
    } else if (memcmp(kind, "IEND", 4) == 0) {
      if (length != 0 || at + 12 != file.size()) return false;
      ended = true;
    }
    data_ended = data_seen && memcmp(kind, "IDAT", 4) != 0;
    at += 12 + static_cast<size_t>(length);
  }
  if (image.width == 0 || image.height == 0 || image.width > 65536 || image.height > 65536 ||
      (picture.colour_type == 3) != have_palette || z.size() < 6 || z[0] != 0x78 ||
      (z[0] << 8 | z[1]) % 31 != 0 || (z[1] & 0x20) != 0) {
    return false;
  }
  CorpusBytes raw;
  size_t p = 2;
  bool final_block = false;
  while (!final_block) {
    if (z.size() - p < 5 || (z[p] & 0xFEu) != 0) return false;  // stored blocks only
    final_block = (z[p] & 1u) != 0;
    const size_t n = z[p + 1] | static_cast<size_t>(z[p + 2]) << 8;
    const size_t not_n = z[p + 3] | static_cast<size_t>(z[p + 4]) << 8;
    if ((n ^ not_n) != 0xFFFFu || z.size() - p - 5 < n) return false;
    raw.insert(raw.end(), z.begin() + static_cast<ptrdiff_t>(p + 5),
               z.begin() + static_cast<ptrdiff_t>(p + 5 + n));
    p += 5 + n;
  }
  if (z.size() - p != 4 || get_be32(&z[p]) != adler32_of(raw.data(), raw.size())) return false;
  const uint32_t samples = picture.colour_type == 2 ? 3 : picture.colour_type == 3 ? 1 : 4;
  const uint64_t row = uint64_t{image.width} * samples;
  if (raw.size() != (row + 1) * image.height) return false;  // also bounds what follows
  const size_t entries = picture.palette.size() / 3;
  const size_t pixels = static_cast<size_t>(image.width) * image.height;
  image.rgb.reserve(pixels * 3);
  if (picture.colour_type == 3) picture.indices.reserve(pixels);
  if (picture.colour_type == 6) picture.alpha.reserve(pixels);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* r = raw.data() + static_cast<size_t>(y * (row + 1));
    if (*r++ != 0) return false;  // filter: none
    for (uint32_t x = 0; x < image.width; ++x, r += samples) {
      if (picture.colour_type == 3) {
        if (*r >= entries) return false;
        picture.indices.push_back(*r);
        const uint8_t* c = &picture.palette[*r * size_t{3}];
        image.rgb.insert(image.rgb.end(), c, c + 3);
      } else {
        image.rgb.insert(image.rgb.end(), r, r + 3);
        if (samples == 4) picture.alpha.push_back(r[3]);
      }
    }
  }
  return true;
}

bool png_decode(const CorpusBytes& file, RgbImage& image) {
  PngPicture picture;
  const bool ok = png_decode(file, picture) && picture.colour_type != 6;
  image = ok ? std::move(picture.image) : RgbImage{};
  return ok;
}

RgbImage rgb_from_decoding_order(const uint8_t* pixels, uint32_t width, uint32_t height,
                                 uint32_t bytes_per_pixel, const uint8_t* colour_table) {
  RgbImage image;
  image.width = width;
  image.height = height;
  image.rgb.reserve(static_cast<size_t>(width) * height * 3);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* r = pixels + static_cast<size_t>(height - 1 - y) * width * bytes_per_pixel;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* bgr = bytes_per_pixel == 3 ? r + x * 3 : colour_table + r[x] * 4;
      image.rgb.insert(image.rgb.end(), {bgr[2], bgr[1], bgr[0]});
    }
  }
  return image;
}
