#include "tests/oracle_decoder.h"

#include <string.h>

#include "format/picture_header.h"
#include "plugin/status_codes.h"

namespace {

// The oracle's own table, copied from the format's description.
constexpr int kOracleDx[16] = {3, -4, -4, -2, 0, -3, -1, 0, 0, -4, 1, 0, 2, -2, -3, -4};
constexpr int kOracleDy[16] = {-3, -4, -2, -1, -2, -1, -1, -1, -4, 0, -1, -3, -1, -2, -3, -1};

constexpr uint32_t kOracleChunk = 18432;

uint32_t read_u32(const Bytes& file, size_t at) {
  uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k) {
    uint32_t byte = at + k < file.size() ? file[at + k] : 0u;
    v |= byte << (8 * k);
  }
  return v;
}

}  // namespace

bool oracle_decode_pixels(const DecodeJob& job, ImageReader& reader) {
  const int64_t width = job.width;
  const int64_t bpp = job.bytes_per_pixel;
  const int64_t stride = width * bpp + job.row_pad;
  uint8_t chunk[kOracleChunk];
  uint32_t chunk_used = kOracleChunk;  // every byte of the chunk taken
  uint64_t flag_bit = 0;               // bits taken from the flag stream
  uint64_t command_index = 0;          // bytes taken from the command stream
  int64_t run_left = 0;
  int64_t run_offset = 0;
  int64_t pixel = 0;
  for (int32_t row = 0; row < job.height; ++row) {
    if (job.progress != nullptr && job.progress(row, job.height, job.host_data) != 0) {
      reader_fail(reader, kStatusCancelled, 0);
      return false;
    }
    for (int64_t column = 0; column < width; ++column, ++pixel) {
      uint8_t* out = job.pixels + row * stride + column * bpp;
      if (run_left == 0) {
        uint64_t flag_byte = flag_bit / 8;
        uint8_t flags = flag_byte < job.flag_count ? job.flags[flag_byte] : 0;
        int bit = (flags >> (7 - flag_bit % 8)) & 1;
        ++flag_bit;
        if (bit == 0) {
          for (int64_t b = 0; b < bpp; ++b) {
            if (chunk_used == kOracleChunk) {
              if (!reader_read(reader, chunk, kOracleChunk)) return false;
              chunk_used = 0;
            }
            out[b] = chunk[chunk_used++];
          }
          continue;
        }
        uint8_t command = command_index < job.command_count ? job.commands[command_index] : 0;
        ++command_index;
        run_left = (command & 15) + 3;
        run_offset = kOracleDy[command >> 4] * width + kOracleDx[command >> 4];
      }
      int64_t source = pixel + run_offset;
      for (int64_t b = 0; b < bpp; ++b) {
        if (source < 0 || source >= pixel) {
          out[b] = 0;
        } else {
          out[b] = job.pixels[(source / width) * stride + (source % width) * bpp + b];
        }
      }
      --run_left;
    }
    for (uint32_t b = 0; b < job.row_pad; ++b) {
      job.pixels[row * stride + width * bpp + b] = 0;
    }
  }
  return true;
}

Decoded oracle_get_picture(const Bytes& file, ProgressCallback progress, intptr_t host_data) {
  Decoded d;
  const int32_t width = static_cast<int32_t>(read_u32(file, 12));
  const int32_t height = static_cast<int32_t>(read_u32(file, 16));
  const uint32_t bits = read_u32(file, 24) & 0xFFFFu;
  const uint64_t bpp = bits / 8;
  const uint64_t stream_start = bits == 8 ? 1088 : 64;
  const uint64_t flag_length = read_u32(file, 48);
  const uint64_t command_length = read_u32(file, 52);
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  const uint64_t row_pad = (4 - (width * bpp) % 4) % 4;

  // Info block: the 40-byte header then the colour table as stored.
  d.info.assign(40 + (bits == 8 ? 1024 : 0), 0);
  d.info[0] = 40;
  memcpy(&d.info[4], &width, 4);
  memcpy(&d.info[8], &height, 4);
  d.info[12] = 1;
  d.info[14] = static_cast<uint8_t>(bits);
  if (bits == 8) {
    d.info[33] = 1;  // 256 colours
    for (size_t k = 0; k < 1024; ++k) d.info[40 + k] = 64 + k < file.size() ? file[64 + k] : 0;
  }

  // Streams: at most what decoding can use, zero past the end of the file.
  auto load = [&file](uint64_t at, uint64_t declared, uint64_t usable) {
    Bytes stream(declared < usable ? declared : usable, 0);
    for (uint64_t k = 0; k < stream.size(); ++k) {
      if (at + k < file.size()) stream[k] = file[at + k];
    }
    return stream;
  };
  Bytes flags = load(stream_start, flag_length, (pixels + 7) / 8);
  Bytes commands = load(stream_start + flag_length, command_length, (pixels + 2) / 3);
  const uint64_t literal_start = stream_start + flag_length + command_length;

  ImageReader reader{};
  reader.file = INVALID_HANDLE_VALUE;
  reader.start = file.data();
  reader.end = file.data() + file.size();
  reader.cursor = literal_start < file.size() ? file.data() + literal_start : reader.end;

  d.pixels.assign((static_cast<uint64_t>(width) * bpp + row_pad) * height, 0xEE);
  DecodeJob job{width,
                height,
                static_cast<uint32_t>(bpp),
                static_cast<uint32_t>(row_pad),
                flags.data(),
                flags.size(),
                commands.data(),
                commands.size(),
                d.pixels.data(),
                progress,
                host_data};
  bool done = oracle_decode_pixels(job, reader);
  if (done && progress != nullptr && progress(height, height, host_data) != 0) {
    reader_fail(reader, kStatusCancelled, 0);
    done = false;
  }
  d.status = reader.status;
  if (!done) {
    d.info.clear();
    d.pixels.clear();
    return d;
  }
  d.info_null = false;
  d.pixels_null = false;
  return d;
}
