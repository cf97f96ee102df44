// GetPicture: builds the two DIB blocks (info header with colour table, and
// the pixel rows) and hands them to the host, or leaves nothing behind.
#include <string.h>

#include "codec/picture_header.h"
#include "codec/pixel_decoder.h"
#include "codec/sizes.h"
#include "plugin/status_codes.h"
#include "plugin/tzf_filter.h"
#include "source/image_reader.h"

static_assert(int32_t{kStatusFileError} == int32_t{kReaderFileError} &&
                  int32_t{kStatusPositionNotRestored} == int32_t{kReaderPositionNotRestored},
              "the reader records its failures as the entry points' status values");
static_assert(TZF_SOURCE_KIND_MASK == kSourceKindMask && TZF_SOURCE_MEMORY == kSourceKindMemory,
              "the reader reads the source flags as the host interface defines them");

namespace {

constexpr uint32_t kInfoHeaderSize = 40;           // BITMAPINFOHEADER
constexpr uint64_t kMaxBlockSize = 0xFFFFFFFFull;  // a block's size must fit in 32 bits

// A movable block being filled by the call. A non-null locked address means
// it still belongs to the call; its handle lives in the host's location.
struct OutputBlock {
  TzfLocalHandle* location;
  uint8_t* locked;
};

bool block_allocate(ImageReader& reader, OutputBlock& block, uint64_t size) {
  *block.location = nullptr;
  block.locked = nullptr;
  HLOCAL handle = LocalAlloc(LMEM_MOVEABLE, static_cast<size_t>(size));
  if (handle == nullptr) {
    reader_fail(reader, kStatusOutOfMemory, GetLastError());
    return false;
  }
  void* address = LocalLock(handle);
  if (address == nullptr) {
    reader_fail(reader, kStatusLockFailed, GetLastError());
    LocalFree(handle);
    return false;
  }
  *block.location = handle;
  block.locked = static_cast<uint8_t*>(address);
  return true;
}

void block_release(OutputBlock& block) {
  if (block.locked == nullptr) return;
  LocalUnlock(*block.location);
  LocalFree(*block.location);
  *block.location = nullptr;
  block.locked = nullptr;
}

void block_hand_over(OutputBlock& block) {
  LocalUnlock(*block.location);
  block.locked = nullptr;
}

void store_u16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void store_u32(uint8_t* p, uint32_t v) {
  store_u16(p, v & 0xFFFFu);
  store_u16(p + 2, v >> 16);
}

// The BITMAPINFOHEADER, field by field, little-endian.
void write_info_header(uint8_t* p, const PictureHeader& header, uint32_t colour_table_length) {
  memset(p, 0, kInfoHeaderSize);
  store_u32(p + 0, kInfoHeaderSize);                                // biSize
  store_u32(p + 4, static_cast<uint32_t>(header.width));            // biWidth
  store_u32(p + 8, static_cast<uint32_t>(header.height));           // biHeight
  store_u16(p + 12, 1);                                             // biPlanes
  store_u16(p + 14, static_cast<uint16_t>(header.bits_per_pixel));  // biBitCount
  store_u32(p + 32, colour_table_length / 4);                       // biClrUsed
  // biCompression, biSizeImage, the resolutions and biClrImportant stay 0.
}

// The host's progress callback, called before each decoded row.
struct HostProgress {
  ProgressCallback callback;
  intptr_t host_data;
  int32_t height;
};

bool report_row(void* user, uint32_t row) {
  const HostProgress& p = *static_cast<const HostProgress*>(user);
  return p.callback(static_cast<int32_t>(row), p.height, p.host_data) == 0;
}

// Loads the part of a stream that decoding can consume and skips the rest.
// Only bytes the source really holds are loaded: the decoder reads a stream
// byte past what was loaded as 0, just as the source would deliver it. So a
// small file declaring huge streams costs no more than its own bytes.
// `buffer` receives a working buffer (null when nothing is loaded).
// `remaining`: bytes the source holds from here on (measured once for both
// streams, UINT64_MAX until then), less what this stream takes.
bool load_stream(ImageReader& reader, uint32_t declared, uint64_t usable, uint8_t*& buffer,
                 size_t& count, uint64_t& remaining, bool& measured) {
  buffer = nullptr;
  count = 0;
  uint64_t load = declared < usable ? declared : usable;
  if (load != 0 && !measured) {
    if (!reader_remaining(reader, remaining)) return false;
    measured = true;
  }
  if (load != 0 && remaining < load) load = remaining;
  if (measured) remaining = remaining > declared ? remaining - declared : 0;
  if (load != 0) {
    buffer = static_cast<uint8_t*>(AllocateWorkBuffer(static_cast<size_t>(load)));
    if (buffer == nullptr) {
      reader_fail(reader, kStatusOutOfMemory, 0);
      return false;
    }
    count = static_cast<size_t>(load);
    if (!reader_read(reader, buffer, static_cast<uint32_t>(load))) return false;
  }
  return reader_skip(reader, declared - load);
}

}  // namespace

extern "C" TZF_EXPORT int32_t TZF_CALL GetPicture(const char* source, int32_t length_or_offset,
                                                  uint32_t source_flags,
                                                  TzfLocalHandle* info_handle,
                                                  TzfLocalHandle* pixel_handle,
                                                  ProgressCallback progress, intptr_t host_data) {
  if (pixel_handle != nullptr) *pixel_handle = nullptr;
  if (info_handle != nullptr) *info_handle = nullptr;
  // Without both locations there is nowhere to hand the picture over.
  if (pixel_handle == nullptr || info_handle == nullptr) return kStatusOutOfMemory;

  ImageReader reader;
  OutputBlock info{info_handle, nullptr};
  OutputBlock pixels{pixel_handle, nullptr};
  uint8_t* flags = nullptr;
  uint8_t* commands = nullptr;
  uint8_t* chunk = nullptr;

  do {
    if (!reader_open_for_picture(reader, source, length_or_offset, source_flags)) break;
    uint8_t raw[kHeaderLength];
    if (!reader_read(reader, raw, kHeaderLength)) break;
    const PictureHeader header = parse_header(raw, kHeaderLength);
    if (!header_accepted(header)) {
      reader_fail(reader, kStatusNotTzf, 0);
      break;
    }
    if (header.width <= 0 || header.height <= 0) {
      reader_fail(reader, kStatusNotTzf, 0);
      break;
    }
    const uint32_t bytes_per_pixel = stored_bytes_per_pixel(header);
    const uint32_t width = static_cast<uint32_t>(header.width);
    const uint32_t height = static_cast<uint32_t>(header.height);
    const uint64_t row_length = row_byte_count(width, bytes_per_pixel);
    const uint64_t stride = row_length + (4 - row_length % 4) % 4;
    // The whole block, gap after the last row included, must fit in 32 bits.
    uint64_t block_size = 0;
    if (!rows_extent(height, stride, stride, kMaxBlockSize, block_size)) {
      reader_fail(reader, kStatusOutOfMemory, 0);
      break;
    }
    const uint32_t table_length = colour_table_length(header);

    if (!block_allocate(reader, info, kInfoHeaderSize + table_length)) break;
    write_info_header(info.locked, header, table_length);
    if (table_length > 0 && !reader_read(reader, info.locked + kInfoHeaderSize, table_length)) {
      break;
    }
    if (!block_allocate(reader, pixels, block_size)) break;

    const uint64_t pixel_count = pixel_total(width, height);
    size_t flag_count = 0;
    size_t command_count = 0;
    uint64_t remaining = UINT64_MAX;
    bool measured = false;
    if (!load_stream(reader, header.flag_stream_length, consumable_flag_bytes(pixel_count), flags,
                     flag_count, remaining, measured) ||
        !load_stream(reader, header.command_stream_length, consumable_command_bytes(pixel_count),
                     commands, command_count, remaining, measured)) {
      break;
    }

    // A memory image's literals are read in place; a file's through a chunk.
    LiteralFeed literals{nullptr, nullptr, nullptr, nullptr, nullptr};
    if (reader_is_memory(reader)) {
      literals.next = reader.cursor;
      literals.end = reader.end;
    } else {
      chunk = static_cast<uint8_t*>(AllocateWorkBuffer(kLiteralChunk));
      if (chunk == nullptr) {
        reader_fail(reader, kStatusOutOfMemory, 0);
        break;
      }
      literals.refill = reader_refill;
      literals.user = &reader;
      literals.chunk = chunk;
    }
    HostProgress host{progress, host_data, header.height};
    DecodeJob job{};
    job.width = header.width;
    job.height = header.height;
    job.bytes_per_pixel = bytes_per_pixel;
    job.first_row = pixels.locked;
    job.stride = static_cast<ptrdiff_t>(stride);
    job.flags = flags;
    job.flag_count = flag_count;
    job.commands = commands;
    job.command_count = command_count;
    job.hook = RowHook{progress != nullptr ? report_row : nullptr, &host};
    const DecodeResult decoded = decode_pixels(job, literals);
    if (decoded == kDecodeCancelled) reader_fail(reader, kStatusCancelled, 0);
    if (decoded != kDecodeDone) break;  // a failed read has recorded its status
    // The last row's pad lies past the rows the decoder writes.
    memset(pixels.locked + block_size - (stride - row_length), 0,
           static_cast<size_t>(stride - row_length));
    if (progress != nullptr && progress(header.height, header.height, host_data) != 0) {
      reader_fail(reader, kStatusCancelled, 0);
      break;
    }
    block_hand_over(pixels);
    block_hand_over(info);
  } while (false);

  FreeWorkBuffer(flags);
  FreeWorkBuffer(commands);
  FreeWorkBuffer(chunk);
  block_release(pixels);
  block_release(info);
  reader_close(reader);
  return reader.status;
}
