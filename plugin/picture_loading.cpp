// GetPicture: builds the two DIB blocks (info header with colour table, and
// the pixel rows) and hands them to the host, or leaves nothing behind.
#include <string.h>

#include "plugin/status_codes.h"
#include "plugin/tzf_filter.h"
#include "source/image_reader.h"
#include "tzf/tzf.h"

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
void write_info_header(uint8_t* p, const tzf_info& header, uint32_t colour_table_length) {
  memset(p, 0, kInfoHeaderSize);
  store_u32(p + 0, kInfoHeaderSize);                                // biSize
  store_u32(p + 4, header.width);                                   // biWidth
  store_u32(p + 8, header.height);                                  // biHeight
  store_u16(p + 12, 1);                                             // biPlanes
  store_u16(p + 14, static_cast<uint16_t>(header.bits_per_pixel));  // biBitCount
  store_u32(p + 32, colour_table_length / 4);                       // biClrUsed
  // biCompression, biSizeImage, the resolutions and biClrImportant stay 0.
}

// The host's progress callback, called before each decoded row and once
// after the last.
struct HostProgress {
  ProgressCallback callback;
  intptr_t host_data;
};

int report_row(void* user, uint32_t rows_done, uint32_t height) {
  const HostProgress& p = *static_cast<const HostProgress*>(user);
  return p.callback(static_cast<int32_t>(rows_done), static_cast<int32_t>(height), p.host_data);
}

// Loads `part` of the picture's data, which starts where the reader is, and
// moves the reader to `next` (the following part's offset). Only bytes the
// source really holds are loaded: what is missing reads as zero in the
// decoder, just as the source would deliver it. So a small file declaring
// huge streams costs no more than its own bytes. A memory image's bytes are
// used in place; a file's land in `buffer` (null when nothing is loaded).
// `remaining`: bytes the source holds from here on (measured once, UINT64_MAX
// until then).
constexpr uint64_t kUnmeasuredPart = uint64_t{1} << 20;

bool load_part(ImageReader& reader, const tzf_part& part, uint64_t next, const void*& data,
               size_t& held, uint8_t*& buffer, uint64_t& remaining, bool& measured) {
  data = nullptr;
  held = 0;
  buffer = nullptr;
  uint64_t load = part.length;
  if (load != 0 && reader_is_memory(reader)) {
    data = reader_view(reader, load, held);
    return reader_skip(reader, next - part.offset - held);
  }
  // Parts up to kUnmeasuredPart are read as they come; a larger one first
  // has the file measured, which costs three more calls to the system.
  if (load > kUnmeasuredPart && !measured) {
    if (!reader_remaining(reader, remaining)) return false;
    measured = true;
  }
  if (load != 0 && remaining < load) load = remaining;
  const uint64_t span = next - part.offset;
  if (measured) remaining = remaining > span ? remaining - span : 0;
  uint64_t done = 0;
  if (load != 0) {
    buffer = static_cast<uint8_t*>(AllocateWorkBuffer(static_cast<size_t>(load)));
    if (buffer == nullptr) {
      reader_fail(reader, kStatusOutOfMemory, 0);
      return false;
    }
    data = buffer;
    while (done < load) {
      const uint64_t piece = load - done < 0x40000000u ? load - done : 0x40000000u;
      uint32_t delivered = 0;
      if (!reader_read_some(reader, buffer + done, static_cast<uint32_t>(piece), delivered)) {
        return false;
      }
      if (delivered == 0) break;  // the end of the data
      done += delivered;
    }
    held = static_cast<size_t>(done);
  }
  return reader_skip(reader, span - done);
}

// The literals of a file, read on demand as the decoder needs them.
size_t read_literals(void* user, void* to, size_t count) {
  ImageReader& reader = *static_cast<ImageReader*>(user);
  const uint32_t piece = count < 0x40000000u ? static_cast<uint32_t>(count) : 0x40000000u;
  uint32_t delivered = 0;
  return reader_read_some(reader, to, piece, delivered) ? delivered : TZF_READ_FAILED;
}

// The smallest stride of the picture's stored pixels, padded to four bytes
// as a DIB's rows are, and the block of `height` such rows. False when the
// block's size does not fit in 32 bits.
bool dib_block_size(const tzf_info& info, uint64_t& stride, uint64_t& block_size) {
  size_t row = 0;
  if (tzf_output_size(&info, TZF_FORMAT_NATIVE, &row, nullptr) != TZF_OK) return false;
  stride = static_cast<uint64_t>(row) + (4 - row % 4) % 4;
  // Divided before multiplied: rows of at most 2^32 bytes, fewer than 2^31.
  if (stride > kMaxBlockSize / info.height) return false;
  block_size = stride * info.height;
  return true;
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
  uint8_t* buffers[TZF_PART_COMMANDS + 1] = {nullptr, nullptr};
  uint8_t* chunk = nullptr;

  do {
    if (!reader_open_for_picture(reader, source, length_or_offset, source_flags)) break;
    uint8_t raw[TZF_HEADER_SIZE];
    if (!reader_read(reader, raw, TZF_HEADER_SIZE)) break;
    tzf_info header;
    if (tzf_read_info(raw, TZF_HEADER_SIZE, &header) != TZF_OK) {
      reader_fail(reader, kStatusNotTzf, 0);
      break;
    }
    uint64_t stride = 0;
    uint64_t block_size = 0;
    tzf_extent extent;
    if (!dib_block_size(header, stride, block_size) ||
        tzf_usable_extent(&header, &extent) != TZF_OK) {
      reader_fail(reader, kStatusOutOfMemory, 0);
      break;
    }
    const uint32_t table_length = static_cast<uint32_t>(extent.header_bytes - TZF_HEADER_SIZE);

    if (!block_allocate(reader, info, kInfoHeaderSize + table_length)) break;
    write_info_header(info.locked, header, table_length);
    // The colour table is stored as the DIB's: blue, green, red, 0.
    if (table_length > 0 && !reader_read(reader, info.locked + kInfoHeaderSize, table_length)) {
      break;
    }
    if (!block_allocate(reader, pixels, block_size)) break;

    // Flags and commands are loaded; a memory image's literals are used in
    // place, a file's read through a chunk as the decoder needs them.
    tzf_parts parts{};
    uint64_t remaining = UINT64_MAX;
    bool measured = false;
    bool loaded = true;
    for (int i = TZF_PART_FLAGS; i <= TZF_PART_COMMANDS && loaded; ++i) {
      loaded = load_part(reader, extent.part[i], extent.part[i + 1].offset, parts.data[i],
                         parts.size[i], buffers[i], remaining, measured);
    }
    if (!loaded) break;
    const tzf_part& literal_part = extent.part[TZF_PART_LITERALS];
    tzf_reader file_literals{read_literals, &reader, nullptr, {0, 0, 0, 0}};
    if (reader_is_memory(reader)) {
      parts.data[TZF_PART_LITERALS] =
          reader_view(reader, literal_part.length, parts.size[TZF_PART_LITERALS]);
    } else {
      chunk = static_cast<uint8_t*>(AllocateWorkBuffer(TZF_READ_BUFFER_SIZE));
      if (chunk == nullptr) {
        reader_fail(reader, kStatusOutOfMemory, 0);
        break;
      }
      file_literals.buffer = chunk;
    }

    HostProgress host{progress, host_data};
    const tzf_progress rows{report_row, &host};
    // The DIB's rows go up from the block's start: the top row is the last.
    uint8_t* const top = pixels.locked + (block_size - stride);
    const int decoded = tzf_decode_reading(
        &header, &parts, reader_is_memory(reader) ? nullptr : &file_literals, TZF_FORMAT_NATIVE,
        top, -static_cast<ptrdiff_t>(stride), progress != nullptr ? &rows : nullptr, nullptr);
    if (decoded == TZF_ERROR_READ) break;  // the reader has recorded its failure
    if (decoded != TZF_OK) {
      reader_fail(reader, decoded == TZF_ERROR_CANCELLED ? kStatusCancelled : kStatusOutOfMemory,
                  0);
      break;
    }
    // The top row's pad lies past the rows the decoder writes.
    const uint64_t row = uint64_t{header.width} * (header.bits_per_pixel / 8);
    memset(top + row, 0, static_cast<size_t>(stride - row));
    block_hand_over(pixels);
    block_hand_over(info);
  } while (false);

  for (uint8_t* buffer : buffers) FreeWorkBuffer(buffer);
  FreeWorkBuffer(chunk);
  block_release(pixels);
  block_release(info);
  reader_close(reader);
  return reader.status;
}
