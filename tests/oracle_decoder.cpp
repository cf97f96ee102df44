#include "tests/oracle_decoder.h"

#include <string.h>

namespace {

// The oracle's own table, copied from the format's description.
constexpr int kOracleDx[16] = {3, -4, -4, -2, 0, -3, -1, 0, 0, -4, 1, 0, 2, -2, -3, -4};
constexpr int kOracleDy[16] = {-3, -4, -2, -1, -2, -1, -1, -1, -4, 0, -1, -3, -1, -2, -3, -1};

uint8_t byte_at(const uint8_t* data, size_t size, uint64_t at) { return at < size ? data[at] : 0; }

uint32_t read_u32(const uint8_t* data, size_t size, uint64_t at) {
  uint32_t v = 0;
  for (uint64_t k = 0; k < 4; ++k)
    v |= static_cast<uint32_t>(byte_at(data, size, at + k)) << (8 * k);
  return v;
}

}  // namespace

OracleHeader oracle_header(const uint8_t* data, size_t size) {
  OracleHeader h{};
  h.width = static_cast<int32_t>(read_u32(data, size, 12));
  h.height = static_cast<int32_t>(read_u32(data, size, 16));
  const uint32_t bits = read_u32(data, size, 24) & 0xFFFFu;
  h.bytes_per_pixel = bits / 8;
  h.flag_start = bits == 8 ? 1088 : 64;
  h.flag_length = read_u32(data, size, 48);
  h.command_length = read_u32(data, size, 52);
  return h;
}

OracleClass oracle_class(const uint8_t* data, size_t size) {
  const bool magic = byte_at(data, size, 0) == 'T' && byte_at(data, size, 1) == 'Z' &&
                     byte_at(data, size, 2) == 'F' && byte_at(data, size, 3) == 0;
  const uint32_t version = read_u32(data, size, 4);
  const uint32_t bits = read_u32(data, size, 24) & 0xFFFFu;
  const uint32_t offset = read_u32(data, size, 40);
  if (!magic || (version != 2 && version != 3) || read_u32(data, size, 8) != 64 ||
      !((bits == 8 && offset == 1088) || (bits == 24 && offset == 64))) {
    return OracleClass::kNotTzf;
  }
  const OracleHeader h = oracle_header(data, size);
  if (h.width <= 0 || h.height <= 0) return OracleClass::kBadSize;
  const uint64_t pixels = static_cast<uint64_t>(h.width) * static_cast<uint64_t>(h.height);
  if (pixels > 268435456u || pixels * 3 > 1073741824u) return OracleClass::kLimit;
  return OracleClass::kDecodable;
}

Bytes oracle_packed_pixels(const uint8_t* data, size_t size, OracleReport* report) {
  const OracleHeader h = oracle_header(data, size);
  const uint64_t bpp = h.bytes_per_pixel;
  const uint64_t n = static_cast<uint64_t>(h.width) * static_cast<uint64_t>(h.height);
  const uint64_t command_start = h.flag_start + h.flag_length;
  uint64_t literal = command_start + h.command_length;
  Bytes packed(n * bpp, 0);
  uint64_t flag_bit = 0;
  uint64_t command = 0;
  uint64_t i = 0;
  OracleReport found;
  found.first_missing = n;
  auto missing = [&](uint64_t at) {
    if (at >= size && !found.truncated) {
      found.truncated = true;
      found.first_missing = i;
    }
  };
  while (i < n) {
    // Flag and command bytes past their streams, and any byte past the
    // data, read as zero.
    const uint64_t byte = flag_bit / 8;
    if (byte < h.flag_length) missing(h.flag_start + byte);
    const uint8_t flags = byte < h.flag_length ? byte_at(data, size, h.flag_start + byte) : 0;
    const bool run = ((flags >> (7 - flag_bit % 8)) & 1) != 0;
    ++flag_bit;
    if (!run) {
      for (uint64_t b = 0; b < bpp; ++b) {
        missing(literal);
        packed[i * bpp + b] = byte_at(data, size, literal++);
      }
      ++i;
      continue;
    }
    if (command < h.command_length) missing(command_start + command);
    const uint8_t code =
        command < h.command_length ? byte_at(data, size, command_start + command) : 0;
    ++command;
    const int64_t offset =
        static_cast<int64_t>(kOracleDy[code >> 4]) * h.width + kOracleDx[code >> 4];
    // A run copies one pixel at a time, so a source close behind repeats
    // what was just written; a source before the picture or not yet decoded
    // stays zero.
    for (uint32_t k = 0; k < (code & 15u) + 3u && i < n; ++k, ++i) {
      const int64_t source = static_cast<int64_t>(i) + offset;
      if (source < 0 || static_cast<uint64_t>(source) >= i) continue;
      for (uint64_t b = 0; b < bpp; ++b) {
        packed[i * bpp + b] = packed[static_cast<uint64_t>(source) * bpp + b];
      }
    }
  }
  if (report != nullptr) {
    found.rows_held = static_cast<uint32_t>(found.first_missing / static_cast<uint64_t>(h.width));
    *report = found;
  }
  return packed;
}

Decoded oracle_get_picture(const Bytes& file, ProgressCallback progress, intptr_t host_data) {
  Decoded d;
  const OracleHeader h = oracle_header(file.data(), file.size());
  if (h.width <= 0 || h.height <= 0) {
    d.status = 2;
    return d;
  }
  const uint64_t bpp = h.bytes_per_pixel;
  const uint64_t row = static_cast<uint64_t>(h.width) * bpp;
  const uint64_t stride = (row + 3) / 4 * 4;
  if (stride * static_cast<uint64_t>(h.height) > 0xFFFFFFFFu) {
    d.status = 4;
    return d;
  }
  // Progress: before each row and once after the last; the first nonzero
  // answer cancels.
  for (int32_t r = 0; r <= h.height; ++r) {
    if (progress != nullptr && progress(r, h.height, host_data) != 0) {
      d.status = 1;
      return d;
    }
  }

  // Info block: the 40-byte header then the colour table as stored.
  const int32_t bits = static_cast<int32_t>(bpp * 8);
  d.info.assign(40 + (bits == 8 ? 1024 : 0), 0);
  d.info[0] = 40;
  memcpy(&d.info[4], &h.width, 4);
  memcpy(&d.info[8], &h.height, 4);
  d.info[12] = 1;
  d.info[14] = static_cast<uint8_t>(bits);
  if (bits == 8) {
    d.info[33] = 1;  // 256 colours
    for (size_t k = 0; k < 1024; ++k) d.info[40 + k] = byte_at(file.data(), file.size(), 64 + k);
  }
  const Bytes packed = oracle_packed_pixels(file.data(), file.size());
  d.pixels.assign(stride * static_cast<uint64_t>(h.height), 0);
  for (uint64_t r = 0; r < static_cast<uint64_t>(h.height); ++r) {
    memcpy(d.pixels.data() + r * stride, packed.data() + r * row, row);
  }
  d.status = 0;
  d.info_null = false;
  d.pixels_null = false;
  return d;
}
