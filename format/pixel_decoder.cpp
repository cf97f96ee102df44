#include "format/pixel_decoder.h"

#include <string.h>

#include "format/displacement_table.h"
#include "plugin/status_codes.h"

namespace {

// Cursor over the flag stream: one bit per decision, most significant first.
struct FlagCursor {
  const uint8_t* next;  // the byte the next decision comes from
  const uint8_t* end;
  uint32_t bits;  // the current byte, shifted so the next bit is bit 7
  uint32_t left;  // bits of the current byte not yet taken
};

bool take_flag(FlagCursor& f) {
  if (f.left == 0) {
    f.bits = f.next < f.end ? *f.next++ : 0u;
    f.left = 8;
  }
  bool set = (f.bits & 0x80u) != 0;
  f.bits <<= 1;
  --f.left;
  return set;
}

// Cursor over the literal stream, refilled in whole chunks through the reader.
struct LiteralCursor {
  uint8_t chunk[kLiteralChunk];
  uint32_t position;  // kLiteralChunk when the chunk is used up
};

}  // namespace

bool decode_pixels(const DecodeJob& job, ImageReader& reader) {
  const uint32_t bpp = job.bytes_per_pixel;
  const uint64_t width = static_cast<uint64_t>(job.width);
  const uint64_t stride = width * bpp + job.row_pad;

  FlagCursor flags{job.flags, job.flags + job.flag_count, 0, 0};
  const uint8_t* command = job.commands;
  const uint8_t* command_end = job.commands + job.command_count;
  LiteralCursor literal;
  literal.position = kLiteralChunk;

  uint32_t run_left = 0;
  int64_t run_offset = 0;  // source pixel minus written pixel
  uint64_t pixel = 0;      // index of the pixel being written

  for (int32_t row = 0; row < job.height; ++row) {
    if (job.progress != nullptr && job.progress(row, job.height, job.host_data) != 0) {
      reader_fail(reader, kStatusCancelled, 0);
      return false;
    }
    uint8_t* out = job.pixels + static_cast<uint64_t>(row) * stride;
    for (uint64_t column = 0; column < width; ++column, ++pixel, out += bpp) {
      if (run_left == 0) {
        if (take_flag(flags)) {
          uint8_t code = command < command_end ? *command++ : 0u;
          run_left = run_length(code);
          run_offset = displacement_offset(code, job.width);
        } else {
          if (literal.position == kLiteralChunk) {
            if (!reader_read(reader, literal.chunk, kLiteralChunk)) return false;
            literal.position = 0;
          }
          memcpy(out, literal.chunk + literal.position, bpp);
          literal.position += bpp;
          continue;
        }
      }
      // One pixel of a run: only pixels already written are read.
      int64_t source = static_cast<int64_t>(pixel) + run_offset;
      if (source < 0 || static_cast<uint64_t>(source) >= pixel) {
        memset(out, 0, bpp);
      } else {
        uint64_t s = static_cast<uint64_t>(source);
        const uint8_t* from = job.pixels + (s / width) * stride + (s % width) * bpp;
        memcpy(out, from, bpp);
      }
      --run_left;
    }
    memset(out, 0, job.row_pad);
  }
  return true;
}
