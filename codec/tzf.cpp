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
  if (info == nullptr || !format_known(format) ||
      (info->bits_per_pixel != 8 && info->bits_per_pixel != 24)) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  if (info->width == 0 || info->height == 0 || info->width > INT32_MAX ||
      info->height > INT32_MAX) {
    return TZF_ERROR_BAD_SIZE;
  }
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
  const uint32_t width = static_cast<uint32_t>(header.width);
  const uint32_t height = static_cast<uint32_t>(header.height);
  const uint32_t stored_bytes = stored_bytes_per_pixel(header);
  const uint64_t row_out = row_byte_count(width, format_bytes_per_pixel(format, stored_bytes * 8));
  if (stride == PTRDIFF_MIN) return TZF_ERROR_BAD_ARGUMENT;
  const uint64_t distance = static_cast<uint64_t>(stride < 0 ? -stride : stride);
  if (distance < row_out) return TZF_ERROR_BAD_ARGUMENT;
  uint64_t extent = 0;
  if (!rows_extent(height, distance, row_out, kMaxExtent, extent)) return TZF_ERROR_TOO_LARGE;

  // The streams, clipped to what the data holds and decoding can consume;
  // the decoder reads bytes past them as zero.
  const uint64_t pixels = pixel_total(width, height);
  const uint64_t flag_start = static_cast<uint64_t>(header.pixel_stream_offset);
  const uint64_t command_start = flag_start + header.flag_stream_length;
  const uint64_t literal_start = command_start + header.command_stream_length;
  const uint64_t flag_count =
      usable_stream(header.flag_stream_length, consumable_flag_bytes(pixels), flag_start, size);
  const uint64_t command_count = usable_stream(
      header.command_stream_length, consumable_command_bytes(pixels), command_start, size);
  LiteralFeed literals{bytes + (literal_start < size ? literal_start : size), bytes + size, nullptr,
                       nullptr, nullptr};

  // The picture's bottom row is decoded first: it is the last row of `out`.
  DecodeCall call{};
  call.progress = progress;
  call.height = height;
  call.format = format;
  call.width = width;
  call.stored_bytes = stored_bytes;
  call.first_row = static_cast<uint8_t*>(out) + static_cast<ptrdiff_t>(height - 1) * stride;
  call.stride = -stride;
  if (format != TZF_FORMAT_NATIVE && stored_bytes == 1) {
    for (uint32_t i = 0; i < 256; ++i) {
      palette_entry(bytes, size, i, call.palette.rgba[i]);
      call.palette.rgba[i][3] = 255;
    }
  }
  DecodeJob job{};
  job.width = header.width;
  job.height = header.height;
  job.bytes_per_pixel = stored_bytes;
  job.first_row = call.first_row;
  job.stride = call.stride;
  job.flags = bytes + (flag_count != 0 ? flag_start : 0);
  job.flag_count = static_cast<size_t>(flag_count);
  job.commands = bytes + (command_count != 0 ? command_start : 0);
  job.command_count = static_cast<size_t>(command_count);
  // The row hook only converts rows and reports progress: without either,
  // the decoder goes without it.
  const bool reports = progress != nullptr && progress->row != nullptr;
  if (format != TZF_FORMAT_NATIVE || reports) job.hook = RowHook{before_row, &call};
  const DecodeResult result = decode_pixels(job, literals);
  if (result != kDecodeDone) return TZF_ERROR_CANCELLED;  // memory is never unreadable
  convert_through(call, height);
  if (reports && progress->row(progress->user, height, height) != 0) {
    return TZF_ERROR_CANCELLED;
  }
  return TZF_OK;
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
    default:
      return "unknown status";
  }
}

const char* tzf_version(void) { return TZF_VERSION_STRING; }

}  // extern "C"
