// The library's C interface: the header, the acceptance rule and decoding
// from memory into the caller's buffer and layout.
#include "tzf/tzf.h"

#include <string.h>

#include "codec/format.h"
#include "codec/output_layouts.h"
#include "codec/picture_header.h"
#include "codec/pixel_decoder.h"
#include "codec/sizes.h"

#ifndef TZF_VERSION_STRING
#define TZF_VERSION_STRING "unknown"
#endif

namespace {

// The largest buffer a caller can address.
constexpr uint64_t kMaxExtent = static_cast<uint64_t>(PTRDIFF_MAX) < static_cast<uint64_t>(SIZE_MAX)
                                    ? static_cast<uint64_t>(PTRDIFF_MAX)
                                    : static_cast<uint64_t>(SIZE_MAX);

uint8_t byte_at(const uint8_t* data, size_t size, uint64_t at) { return at < size ? data[at] : 0; }

// Red, green and blue of colour table entry `i` (stored blue, green, red,
// reserved); bytes past the data read as 0.
void palette_entry(const uint8_t* data, size_t size, uint32_t i, uint8_t* rgb) {
  const uint64_t at = kHeaderLength + 4u * i;
  rgb[0] = byte_at(data, size, at + 2);
  rgb[1] = byte_at(data, size, at + 1);
  rgb[2] = byte_at(data, size, at);
}

// One decoding: the caller's progress and the rows still to convert.
struct DecodeCall {
  const tzf_progress* progress;
  uint32_t height;
  int format;
  uint32_t width;
  uint32_t stored_bytes;
  uint8_t* first_row;  // row 0 of the decoding order (the picture's bottom row)
  ptrdiff_t stride;    // from one decoded row to the next
  uint32_t converted;  // decoded rows already in the output layout
  PaletteColours palette;
};

void convert_through(DecodeCall& call, uint32_t rows) {
  if (call.format == TZF_FORMAT_NATIVE) return;
  for (; call.converted < rows; ++call.converted) {
    convert_row(call.first_row + static_cast<ptrdiff_t>(call.converted) * call.stride, call.width,
                call.stored_bytes, call.format, call.palette);
  }
}

// Rows are turned into the output layout behind the row being decoded: no
// pixel from this row on is written before this call, and a run's source
// lies at most farthest_source() pixels back, so the rows wholly before that
// are never read again.
bool before_row(void* user, uint32_t row) {
  DecodeCall& call = *static_cast<DecodeCall*>(user);
  const uint64_t next = pixel_total(call.width, row);
  const uint64_t reach = farthest_source(call.width);
  if (next > reach) convert_through(call, static_cast<uint32_t>((next - reach) / call.width));
  return call.progress == nullptr || call.progress->row == nullptr ||
         call.progress->row(call.progress->user, row, call.height) == 0;
}

bool format_known(int format) {
  return format == TZF_FORMAT_RGB || format == TZF_FORMAT_RGBA || format == TZF_FORMAT_NATIVE;
}

// A picture's size and the places of its streams, from a header or from a
// tzf_info record.
struct Shape {
  uint32_t width;         // 1 .. INT32_MAX
  uint32_t height;        // 1 .. INT32_MAX
  uint32_t stored_bytes;  // 1 or 3
  uint64_t stream_offset;
  uint64_t flag_declared;
  uint64_t command_declared;
};

Shape shape_of_header(const PictureHeader& header) {
  Shape shape{};
  shape.width = static_cast<uint32_t>(header.width);
  shape.height = static_cast<uint32_t>(header.height);
  shape.stored_bytes = stored_bytes_per_pixel(header);
  shape.stream_offset = static_cast<uint64_t>(header.pixel_stream_offset);
  shape.flag_declared = header.flag_stream_length;
  shape.command_declared = header.command_stream_length;
  return shape;
}

// TZF_ERROR_BAD_ARGUMENT for a missing record or a depth no header gives,
// TZF_ERROR_BAD_SIZE for a width or height of 0 or past INT32_MAX.
int info_status(const tzf_info* info) {
  if (info == nullptr || (info->bits_per_pixel != 8 && info->bits_per_pixel != 24)) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  if (info->width == 0 || info->height == 0 || info->width > INT32_MAX ||
      info->height > INT32_MAX) {
    return TZF_ERROR_BAD_SIZE;
  }
  return TZF_OK;
}

// The shape of the picture `info` describes; TZF_ERROR_BAD_ARGUMENT for a
// record that no accepted header gives.
int shape_of_info(const tzf_info* info, Shape& shape) {
  if (const int status = info_status(info); status != TZF_OK) return status;
  shape.width = info->width;
  shape.height = info->height;
  shape.stored_bytes = info->bits_per_pixel / 8;
  shape.stream_offset = static_cast<uint64_t>(info->bits_per_pixel == 8 ? kPaletteStreamOffset
                                                                        : kTrueColourStreamOffset);
  shape.flag_declared = info->flag_stream_length;
  shape.command_declared = info->command_stream_length;
  if (info->literal_offset != shape.stream_offset + shape.flag_declared + shape.command_declared) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  return TZF_OK;
}

// The three parts decoding can read: each stream cut to what the picture
// consumes; the literal stream has no declared length and ends with the
// data.
tzf_extent extent_of(const Shape& shape) {
  tzf_extent extent;
  memset(&extent, 0, sizeof extent);
  const uint64_t pixels = pixel_total(shape.width, shape.height);
  const uint64_t flags =
      usable_stream(shape.flag_declared, consumable_flag_bytes(pixels), 0, UINT64_MAX);
  const uint64_t commands =
      usable_stream(shape.command_declared, consumable_command_bytes(pixels), 0, UINT64_MAX);
  const uint64_t literals = consumable_literal_bytes(pixels, shape.stored_bytes);
  extent.header_bytes = shape.stream_offset;
  extent.part[TZF_PART_FLAGS] = tzf_part{shape.stream_offset, flags, 0};
  extent.part[TZF_PART_COMMANDS] =
      tzf_part{shape.stream_offset + shape.flag_declared, commands, flags};
  extent.part[TZF_PART_LITERALS] =
      tzf_part{shape.stream_offset + shape.flag_declared + shape.command_declared, literals,
               flags + commands};
  extent.kept_bytes = flags + commands + literals;
  extent.end = extent.part[TZF_PART_LITERALS].offset + literals;
  return extent;
}

// `parts` cut to the extent's lengths; false for a part without bytes to
// its length.
bool clip_parts(const tzf_extent& extent, const tzf_parts& parts, tzf_parts& clipped) {
  clipped = parts;
  for (int i = 0; i < TZF_PART_COUNT; ++i) {
    if (clipped.data[i] == nullptr && clipped.size[i] != 0) return false;
    if (clipped.size[i] > extent.part[i].length) {
      clipped.size[i] = static_cast<size_t>(extent.part[i].length);
    }
  }
  return true;
}

// The first pixel, in decoding order, that needs a byte the parts do not
// hold, or the pixel count when none does. Walks the decisions one by one:
// the obviously right way, taken only for data that ended early.
uint64_t first_missing_pixel(const Shape& shape, const tzf_extent& extent, const tzf_parts& parts) {
  const uint64_t pixels = pixel_total(shape.width, shape.height);
  const uint8_t* flags = static_cast<const uint8_t*>(parts.data[TZF_PART_FLAGS]);
  const uint8_t* commands = static_cast<const uint8_t*>(parts.data[TZF_PART_COMMANDS]);
  const uint64_t flag_length = extent.part[TZF_PART_FLAGS].length;
  const uint64_t command_length = extent.part[TZF_PART_COMMANDS].length;
  const uint64_t flags_held = parts.size[TZF_PART_FLAGS];
  const uint64_t commands_held = parts.size[TZF_PART_COMMANDS];
  const uint64_t literals_held = parts.size[TZF_PART_LITERALS];
  uint64_t pixel = 0;
  uint64_t decision = 0;
  uint64_t command = 0;
  uint64_t literal = 0;
  while (pixel < pixels) {
    // Flag and command bytes past their streams read as zero; within them,
    // past what is held, they are missing.
    const uint64_t flag_byte = decision / 8;
    uint8_t flag_bits = 0;
    if (flag_byte < flag_length) {
      if (flag_byte >= flags_held) return pixel;
      flag_bits = flags[flag_byte];
    }
    const bool run = ((flag_bits >> (7 - decision % 8)) & 1u) != 0;
    ++decision;
    if (run) {
      uint8_t code = 0;
      if (command < command_length) {
        if (command >= commands_held) return pixel;
        code = commands[command];
      }
      ++command;
      pixel += run_length(code);
    } else {
      if (literal + shape.stored_bytes > literals_held) return pixel;
      literal += shape.stored_bytes;
      ++pixel;
    }
  }
  return pixels;
}

void fill_result(const Shape& shape, uint64_t missing_from, tzf_result* result) {
  if (result == nullptr) return;
  memset(result, 0, sizeof *result);
  const uint64_t pixels = pixel_total(shape.width, shape.height);
  result->truncated = missing_from < pixels ? 1u : 0u;
  result->rows_held =
      missing_from < pixels ? static_cast<uint32_t>(missing_from / shape.width) : shape.height;
}

static_assert(TZF_READ_BUFFER_SIZE == kLiteralChunk, "a reader's buffer is the decoder's chunk");

// Literal bytes past the literal part, read on demand from the caller's
// reader into its buffer.
struct ReaderFeed {
  const tzf_reader* reader;
  uint64_t delivered;  // bytes the reader gave
  bool ended;          // it said the data ended
};

bool refill_from_reader(void* user, uint8_t* to, size_t count) {
  ReaderFeed& feed = *static_cast<ReaderFeed*>(user);
  size_t done = 0;
  while (done < count && !feed.ended) {
    const size_t got = feed.reader->read(feed.reader->user, to + done, count - done);
    if (got == TZF_READ_FAILED) return false;
    if (got == 0 || got > count - done) {
      feed.ended = true;
    } else {
      done += got;
      feed.delivered += got;
    }
  }
  memset(to + done, 0, count - done);
  return true;
}

// Decodes `shape`'s streams into `out`; `call.palette` is filled in for
// 8-bit pictures decoded to colours. Literals past the literal part come
// from `feed` when it is given. `missing_from` receives the first pixel
// whose literal bytes the data did not hold (without a feed).
int decode_streams(const Shape& shape, const tzf_parts& parts, ReaderFeed* feed, DecodeCall& call,
                   int format, void* out, ptrdiff_t stride, const tzf_progress* progress,
                   uint64_t& missing_from) {
  const uint64_t row_out =
      row_byte_count(shape.width, format_bytes_per_pixel(format, shape.stored_bytes * 8));
  if (stride == PTRDIFF_MIN) return TZF_ERROR_BAD_ARGUMENT;
  const uint64_t distance = static_cast<uint64_t>(stride < 0 ? -stride : stride);
  if (distance < row_out) return TZF_ERROR_BAD_ARGUMENT;
  uint64_t extent = 0;
  if (!rows_extent(shape.height, distance, row_out, kMaxExtent, extent)) {
    return TZF_ERROR_TOO_LARGE;
  }
  const uint8_t* literal = static_cast<const uint8_t*>(parts.data[TZF_PART_LITERALS]);
  LiteralFeed literals{literal, literal + parts.size[TZF_PART_LITERALS], nullptr, nullptr, nullptr};
  if (feed != nullptr) {
    literals.refill = refill_from_reader;
    literals.user = feed;
    literals.chunk = static_cast<uint8_t*>(feed->reader->buffer);
  }

  // The picture's bottom row is decoded first: it is the last row of `out`.
  call.progress = progress;
  call.height = shape.height;
  call.format = format;
  call.width = shape.width;
  call.stored_bytes = shape.stored_bytes;
  call.first_row = static_cast<uint8_t*>(out) + static_cast<ptrdiff_t>(shape.height - 1) * stride;
  call.stride = -stride;
  DecodeJob job{};
  job.width = static_cast<int32_t>(shape.width);
  job.height = static_cast<int32_t>(shape.height);
  job.bytes_per_pixel = shape.stored_bytes;
  job.first_row = call.first_row;
  job.stride = call.stride;
  job.flags = static_cast<const uint8_t*>(parts.data[TZF_PART_FLAGS]);
  job.flag_count = parts.size[TZF_PART_FLAGS];
  job.commands = static_cast<const uint8_t*>(parts.data[TZF_PART_COMMANDS]);
  job.command_count = parts.size[TZF_PART_COMMANDS];
  // The row hook only converts rows and reports progress: without either,
  // the decoder goes without it.
  const bool reports = progress != nullptr && progress->row != nullptr;
  if (format != TZF_FORMAT_NATIVE || reports) job.hook = RowHook{before_row, &call};
  const DecodeResult result = decode_pixels(job, literals);
  if (result == kDecodeReadFailed) return TZF_ERROR_READ;
  if (result != kDecodeDone) return TZF_ERROR_CANCELLED;
  convert_through(call, shape.height);
  if (reports && progress->row(progress->user, shape.height, shape.height) != 0) {
    return TZF_ERROR_CANCELLED;
  }
  missing_from = literals.missing_from;
  return TZF_OK;
}

// The part of `whole` (`size` bytes) that `part` describes.
void part_within(const tzf_part& part, uint64_t start, const void* whole, size_t size,
                 const void*& data, size_t& held) {
  data = nullptr;
  held = 0;
  if (start >= size || part.length == 0) return;
  data = static_cast<const uint8_t*>(whole) + start;
  const uint64_t left = size - start;
  held = static_cast<size_t>(left < part.length ? left : part.length);
}

// The parts within `whole` (`size` bytes), each starting at its `start`
// field: the offset in the picture's data, or the place among kept bytes.
int parts_in(const tzf_info* info, const void* whole, size_t size, uint64_t tzf_part::*start,
             tzf_parts* parts) {
  if (parts == nullptr) return TZF_ERROR_BAD_ARGUMENT;
  memset(parts, 0, sizeof *parts);
  if (whole == nullptr && size != 0) return TZF_ERROR_BAD_ARGUMENT;
  Shape shape{};
  const int status = shape_of_info(info, shape);
  if (status != TZF_OK) return status;
  const tzf_extent extent = extent_of(shape);
  for (int i = 0; i < TZF_PART_COUNT; ++i) {
    part_within(extent.part[i], extent.part[i].*start, whole, size, parts->data[i], parts->size[i]);
  }
  return TZF_OK;
}

}  // namespace

extern "C" {

int tzf_is_tzf(const void* head, size_t size) {
  if (head == nullptr) size = 0;
  return header_accepted(parse_header(static_cast<const uint8_t*>(head), size)) ? 1 : 0;
}

int tzf_read_info(const void* data, size_t size, tzf_info* info) {
  if (info == nullptr || (data == nullptr && size != 0)) return TZF_ERROR_BAD_ARGUMENT;
  memset(info, 0, sizeof *info);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  const PictureHeader header = parse_header(bytes, size);
  if (!header_accepted(header)) return TZF_ERROR_NOT_TZF;
  info->bits_per_pixel = static_cast<uint32_t>(header.bits_per_pixel);
  info->version = header.version;
  const uint32_t table = colour_table_length(header);
  info->palette_size = table / 4;
  for (uint32_t i = 0; i < info->palette_size; ++i) palette_entry(bytes, size, i, info->palette[i]);
  info->flag_stream_length = header.flag_stream_length;
  info->command_stream_length = header.command_stream_length;
  info->literal_offset = static_cast<uint64_t>(header.pixel_stream_offset) +
                         header.flag_stream_length + header.command_stream_length;
  info->truncated = size < info->literal_offset ? 1u : 0u;
  if (header.width <= 0 || header.height <= 0) return TZF_ERROR_BAD_SIZE;
  info->width = static_cast<uint32_t>(header.width);
  info->height = static_cast<uint32_t>(header.height);
  return TZF_OK;
}

int tzf_output_size(const tzf_info* info, int format, size_t* stride, size_t* bytes) {
  if (stride != nullptr) *stride = 0;
  if (bytes != nullptr) *bytes = 0;
  if (!format_known(format)) return TZF_ERROR_BAD_ARGUMENT;
  if (const int status = info_status(info); status != TZF_OK) return status;
  const uint64_t row =
      row_byte_count(info->width, format_bytes_per_pixel(format, info->bits_per_pixel));
  uint64_t extent = 0;
  if (!rows_extent(info->height, row, row, kMaxExtent, extent) || row * info->height > kMaxExtent) {
    return TZF_ERROR_TOO_LARGE;
  }
  if (stride != nullptr) *stride = static_cast<size_t>(row);
  if (bytes != nullptr) *bytes = static_cast<size_t>(row * info->height);
  return TZF_OK;
}

int tzf_decode(const void* data, size_t size, int format, void* out, ptrdiff_t stride,
               const struct tzf_progress* progress) {
  if ((data == nullptr && size != 0) || out == nullptr || !format_known(format)) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  const PictureHeader header = parse_header(bytes, size);
  if (!header_accepted(header)) return TZF_ERROR_NOT_TZF;
  if (header.width <= 0 || header.height <= 0) return TZF_ERROR_BAD_SIZE;
  const Shape shape = shape_of_header(header);
  const tzf_extent extent = extent_of(shape);
  tzf_parts parts{};
  for (int i = 0; i < TZF_PART_COUNT; ++i) {
    part_within(extent.part[i], extent.part[i].offset, data, size, parts.data[i], parts.size[i]);
  }
  DecodeCall call{};
  if (format != TZF_FORMAT_NATIVE && shape.stored_bytes == 1) {
    for (uint32_t i = 0; i < 256; ++i) {
      palette_entry(bytes, size, i, call.palette.rgba[i]);
      call.palette.rgba[i][3] = 255;
    }
  }
  uint64_t missing_from = UINT64_MAX;
  return decode_streams(shape, parts, nullptr, call, format, out, stride, progress, missing_from);
}

int tzf_check_limits(const tzf_info* info, int format, const tzf_limits* limits) {
  if (!format_known(format)) return TZF_ERROR_BAD_ARGUMENT;
  if (const int status = info_status(info); status != TZF_OK) return status;
  const uint64_t max_pixels = limits != nullptr && limits->max_pixels != 0
                                  ? limits->max_pixels
                                  : uint64_t{TZF_DEFAULT_MAX_PIXELS};
  const uint64_t max_output = limits != nullptr && limits->max_output_bytes != 0
                                  ? limits->max_output_bytes
                                  : uint64_t{TZF_DEFAULT_MAX_OUTPUT_BYTES};
  if (pixel_total(info->width, info->height) > max_pixels) return TZF_ERROR_LIMIT;
  // Below 2^31 rows of below 2^33 bytes: the product fits in 64 bits.
  const uint64_t output =
      row_byte_count(info->width, format_bytes_per_pixel(format, info->bits_per_pixel)) *
      info->height;
  if (output > max_output) return TZF_ERROR_LIMIT;
  return tzf_output_size(info, format, nullptr, nullptr);
}

int tzf_usable_extent(const tzf_info* info, tzf_extent* extent) {
  if (extent == nullptr) return TZF_ERROR_BAD_ARGUMENT;
  memset(extent, 0, sizeof *extent);
  Shape shape{};
  const int status = shape_of_info(info, shape);
  if (status != TZF_OK) return status;
  *extent = extent_of(shape);
  return TZF_OK;
}

uint64_t tzf_keep(const tzf_extent* extent, uint64_t at, const void* chunk, size_t size,
                  void* kept) {
  if (extent == nullptr) return 0;
  if (chunk == nullptr) size = 0;
  const uint64_t stop = at > UINT64_MAX - size ? UINT64_MAX : at + size;
  uint64_t held = 0;
  for (const tzf_part& part : extent->part) {
    const uint64_t part_end =
        part.offset > UINT64_MAX - part.length ? UINT64_MAX : part.offset + part.length;
    const uint64_t begin = at > part.offset ? at : part.offset;
    const uint64_t end = stop < part_end ? stop : part_end;
    if (kept != nullptr && begin < end) {
      memcpy(static_cast<uint8_t*>(kept) + part.kept_at + (begin - part.offset),
             static_cast<const uint8_t*>(chunk) + (begin - at), static_cast<size_t>(end - begin));
    }
    if (stop > part.offset) held += end > part.offset ? end - part.offset : 0;
  }
  return held;
}

int tzf_parts_of_data(const tzf_info* info, const void* data, size_t size, tzf_parts* parts) {
  return parts_in(info, data, size, &tzf_part::offset, parts);
}

int tzf_parts_of_kept(const tzf_info* info, const void* kept, size_t size, tzf_parts* parts) {
  return parts_in(info, kept, size, &tzf_part::kept_at, parts);
}

int tzf_decode_parts(const tzf_info* info, const tzf_parts* parts, int format, void* out,
                     ptrdiff_t stride, const struct tzf_progress* progress, tzf_result* result) {
  return tzf_decode_reading(info, parts, nullptr, format, out, stride, progress, result);
}

int tzf_decode_reading(const tzf_info* info, const tzf_parts* parts, const tzf_reader* reader,
                       int format, void* out, ptrdiff_t stride, const struct tzf_progress* progress,
                       tzf_result* result) {
  if (result != nullptr) memset(result, 0, sizeof *result);
  if (parts == nullptr || out == nullptr || !format_known(format) ||
      (reader != nullptr && (reader->read == nullptr || reader->buffer == nullptr))) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  Shape shape{};
  int status = shape_of_info(info, shape);
  if (status != TZF_OK) return status;
  const tzf_extent extent = extent_of(shape);
  tzf_parts clipped{};
  if (!clip_parts(extent, *parts, clipped)) return TZF_ERROR_BAD_ARGUMENT;
  DecodeCall call{};
  if (format != TZF_FORMAT_NATIVE && shape.stored_bytes == 1) {
    for (uint32_t i = 0; i < 256; ++i) {
      memcpy(call.palette.rgba[i], info->palette[i], 3);
      call.palette.rgba[i][3] = 255;
    }
  }
  ReaderFeed feed{reader, 0, false};
  uint64_t missing_from = UINT64_MAX;
  status = decode_streams(shape, clipped, reader != nullptr ? &feed : nullptr, call, format, out,
                          stride, progress, missing_from);
  if (status != TZF_OK || result == nullptr) return status;
  // Literals that ran out of memory were noted while decoding. Flag or
  // command bytes, or literals a reader did not have, only the walk finds,
  // and only a short part or a reader that ended can miss any.
  if (feed.ended || clipped.size[TZF_PART_FLAGS] < extent.part[TZF_PART_FLAGS].length ||
      clipped.size[TZF_PART_COMMANDS] < extent.part[TZF_PART_COMMANDS].length) {
    tzf_parts walked_parts = clipped;
    const uint64_t literal_length = extent.part[TZF_PART_LITERALS].length;
    const uint64_t literals_held = clipped.size[TZF_PART_LITERALS] + feed.delivered;
    walked_parts.size[TZF_PART_LITERALS] =
        static_cast<size_t>(literals_held < literal_length ? literals_held : literal_length);
    const uint64_t walked = first_missing_pixel(shape, extent, walked_parts);
    if (walked < missing_from) missing_from = walked;
  }
  fill_result(shape, missing_from, result);
  return TZF_OK;
}

int tzf_decode_kept(const tzf_info* info, const void* kept, size_t size, int format, void* out,
                    ptrdiff_t stride, const struct tzf_progress* progress, tzf_result* result) {
  if (result != nullptr) memset(result, 0, sizeof *result);
  tzf_parts parts{};
  const int status = tzf_parts_of_kept(info, kept, size, &parts);
  if (status != TZF_OK) return status;
  return tzf_decode_parts(info, &parts, format, out, stride, progress, result);
}

int tzf_scan_parts(const tzf_info* info, const tzf_parts* parts, tzf_result* result) {
  if (result != nullptr) memset(result, 0, sizeof *result);
  if (parts == nullptr || result == nullptr) return TZF_ERROR_BAD_ARGUMENT;
  Shape shape{};
  const int status = shape_of_info(info, shape);
  if (status != TZF_OK) return status;
  const tzf_extent extent = extent_of(shape);
  // The literal bytes are never read: only their count matters.
  tzf_parts counted = *parts;
  if (counted.data[TZF_PART_LITERALS] == nullptr) counted.data[TZF_PART_LITERALS] = &counted;
  tzf_parts clipped{};
  if (!clip_parts(extent, counted, clipped)) return TZF_ERROR_BAD_ARGUMENT;
  fill_result(shape, first_missing_pixel(shape, extent, clipped), result);
  return TZF_OK;
}

int tzf_stored_size(const void* head, size_t size, int32_t* width, int32_t* height) {
  if (width != nullptr) *width = 0;
  if (height != nullptr) *height = 0;
  if (head == nullptr && size != 0) return TZF_ERROR_BAD_ARGUMENT;
  const PictureHeader header = parse_header(static_cast<const uint8_t*>(head), size);
  if (!header_accepted(header)) return TZF_ERROR_NOT_TZF;
  if (width != nullptr) *width = header.width;
  if (height != nullptr) *height = header.height;
  return TZF_OK;
}

uint32_t tzf_version_number(void) {
  return TZF_VERSION_MAJOR * 10000u + TZF_VERSION_MINOR * 100u + TZF_VERSION_PATCH;
}

const char* tzf_status_text(int status) {
  switch (status) {
    case TZF_OK:
      return "success";
    case TZF_ERROR_NOT_TZF:
      return "not a TZF picture";
    case TZF_ERROR_BAD_SIZE:
      return "the picture's width or height is zero or negative";
    case TZF_ERROR_TOO_LARGE:
      return "the picture is too large for this machine";
    case TZF_ERROR_BAD_ARGUMENT:
      return "invalid argument (null pointer, unknown format or stride too small)";
    case TZF_ERROR_CANCELLED:
      return "decoding was cancelled";
    case TZF_ERROR_LIMIT:
      return "the picture is larger than the limits allow";
    case TZF_ERROR_READ:
      return "the picture's data could not be read";
    case TZF_ERROR_BUFFER_SIZE:
      return "a buffer is smaller than the size asked for";
    default:
      return "unknown status";
  }
}

const char* tzf_version(void) { return TZF_VERSION_STRING; }

}  // extern "C"
