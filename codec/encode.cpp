// Encoding: the caller's pixels into a complete TZF file in the caller's
// buffer, with a work buffer of the caller's.
//
// The pixels are first gathered in decoding order (row 0 is the picture's
// bottom row) as one key per pixel: 0x00RRGGBB for true colour, a colour
// table index for 8 bits. The parse then chooses, for every pixel no run
// covers, a literal or a run of 3 to 18 pixels from one of the sixteen
// displacements, and the file is laid out from those choices.
#include <string.h>

#include <algorithm>
#include <array>

#include "codec/encode_parse.h"
#include "codec/format.h"
#include "codec/quantise.h"
#include "codec/sizes.h"
#include "tzf/tzf.h"

namespace {

// The format's own bounds on a picture's size.
constexpr uint32_t kMaxSide = 1u << 20;
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;
constexpr uint64_t kAlign = 64;
constexpr uint32_t kWhite = 0xFFFFFFu;

uint64_t aligned(uint64_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }

uint32_t input_bytes_per_pixel(int format) {
  switch (format) {
    case TZF_FORMAT_RGB:
    case TZF_FORMAT_NATIVE:
      return 3;
    case TZF_FORMAT_RGBA:
      return 4;
    case TZF_FORMAT_INDEX:
      return 1;
    default:
      return 0;
  }
}

// What one encoding does, from the image and the options alone.
struct Plan {
  uint32_t width = 0, height = 0;
  uint64_t pixels = 0;
  uint32_t file_bytes_per_pixel = 3;  // 1 or 3
  bool true_colour_input = true;      // keys before any colour table
  int effort = TZF_EFFORT_SMALLEST;
  bool dither = true;
  uint32_t background = kWhite;
  // Where the work buffer's regions start, and its size.
  uint64_t keys_at = 0, indices_at = 0, parse_at = 0, quantise_at = 0, work_bytes = 0;
  uint64_t quantise_bytes = 0;
  uint64_t max_file_bytes = 0;
};

int plan_encoding(const tzf_image* image, const tzf_encode_options* options, Plan& plan) {
  if (image == nullptr) return TZF_ERROR_BAD_ARGUMENT;
  const tzf_encode_options defaults{};
  const tzf_encode_options& o = options != nullptr ? *options : defaults;
  const uint32_t in_bytes = input_bytes_per_pixel(image->format);
  if (in_bytes == 0 || image->pixels == nullptr) return TZF_ERROR_BAD_ARGUMENT;
  if (image->width == 0 || image->height == 0) return TZF_ERROR_BAD_SIZE;
  if (image->width > kMaxSide || image->height > kMaxSide) return TZF_ERROR_TOO_LARGE;
  plan.width = image->width;
  plan.height = image->height;
  plan.pixels = pixel_total(image->width, image->height);
  if (plan.pixels > kMaxPixels) return TZF_ERROR_TOO_LARGE;
  const uint64_t distance =
      static_cast<uint64_t>(image->stride < 0 ? -image->stride : image->stride);
  if (distance < row_byte_count(image->width, in_bytes)) return TZF_ERROR_BAD_ARGUMENT;
  if (image->format == TZF_FORMAT_INDEX &&
      (image->palette == nullptr || image->palette_size == 0 || image->palette_size > 256)) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  if (o.effort != TZF_EFFORT_SMALLEST && o.effort != TZF_EFFORT_FAST) return TZF_ERROR_BAD_ARGUMENT;
  if (o.dither < TZF_DITHER_DEFAULT || o.dither > TZF_DITHER_ERROR_DIFFUSION) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  if (o.palette_size > 256 || (o.palette_size != 0 && o.palette == nullptr)) {
    return TZF_ERROR_BAD_ARGUMENT;
  }
  if (o.background != 0 && (o.background >> 24) != 1) return TZF_ERROR_BAD_ARGUMENT;
  int depth = o.bits_per_pixel;
  if (depth == TZF_DEPTH_AUTO) depth = image->format == TZF_FORMAT_INDEX ? 8 : 24;
  if (depth != 8 && depth != 24) return TZF_ERROR_BAD_ARGUMENT;

  plan.file_bytes_per_pixel = depth == 8 ? 1 : 3;
  plan.true_colour_input = image->format != TZF_FORMAT_INDEX;
  plan.effort = o.effort;
  plan.dither = o.dither != TZF_DITHER_NONE;
  plan.background = o.background != 0 ? (o.background & 0xFFFFFFu) : kWhite;

  // Below 2^28 pixels every product here stays below 2^33.
  const uint64_t n = plan.pixels;
  uint64_t at = 0;
  if (plan.true_colour_input || depth == 24) {
    plan.keys_at = at;
    at += aligned(encode_key_bytes(n));
  }
  if (depth == 8) {
    plan.indices_at = at;
    at += aligned(encode_index_bytes(n));
  }
  plan.parse_at = at;
  at += aligned(parse_work_bytes(n, plan.effort == TZF_EFFORT_FAST));
  if (depth == 8 && plan.true_colour_input) {
    plan.quantise_bytes = std::max<uint64_t>(quantise_work_bytes(plan.width, plan.height),
                                             exact_colours_work_bytes());
    if (plan.quantise_bytes == UINT64_MAX) return TZF_ERROR_TOO_LARGE;
    plan.quantise_at = at;
    at += aligned(plan.quantise_bytes);
  }
  plan.work_bytes = at;
  const uint64_t table = depth == 8 ? kColourTableLength : 0;
  plan.max_file_bytes = kHeaderLength + table + consumable_flag_bytes(n) +
                        consumable_literal_bytes(n, plan.file_bytes_per_pixel);
  if (plan.work_bytes > SIZE_MAX || plan.max_file_bytes > SIZE_MAX) return TZF_ERROR_TOO_LARGE;
  return TZF_OK;
}

// The image's row `y` of the decoding order (0 is the bottom row).
const uint8_t* source_row(const tzf_image& image, uint32_t y) {
  const ptrdiff_t top = static_cast<ptrdiff_t>(image.height - 1 - y);
  return static_cast<const uint8_t*>(image.pixels) + top * image.stride;
}

// Four bytes as a little-endian number.
uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// Red, green, blue (and one byte more) loaded as a number: the key 0x00RRGGBB.
uint32_t swapped_key(uint32_t v) { return __builtin_bswap32(v) >> 8; }

uint32_t blend(uint32_t c, uint32_t a, uint32_t bg) { return (c * a + bg * (255 - a) + 127) / 255; }

// Gathers true-colour keys; true when some pixel was not opaque.
bool gather_keys(const tzf_image& image, uint32_t background, uint32_t* keys) {
  const uint32_t w = image.width;
  bool composited = false;
  const uint32_t bg_r = background >> 16 & 255, bg_g = background >> 8 & 255,
                 bg_b = background & 255;
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* s = source_row(image, y);
    uint32_t* k = keys + static_cast<size_t>(y) * w;
    switch (image.format) {
      case TZF_FORMAT_RGB:
        // Four bytes at a time except at the row's last pixel, whose fourth
        // byte may lie past the caller's buffer.
        for (uint32_t x = 0; x + 1 < w; ++x, s += 3) k[x] = swapped_key(load_u32(s));
        k[w - 1] = uint32_t{s[0]} << 16 | s[1] << 8 | s[2];
        break;
      case TZF_FORMAT_NATIVE:
        for (uint32_t x = 0; x + 1 < w; ++x, s += 3) k[x] = load_u32(s) & 0xFFFFFFu;
        k[w - 1] = uint32_t{s[2]} << 16 | s[1] << 8 | s[0];
        break;
      case TZF_FORMAT_RGBA:
        for (uint32_t x = 0; x < w; ++x, s += 4) {
          const uint32_t a = s[3];
          if (a == 255) {
            k[x] = uint32_t{s[0]} << 16 | s[1] << 8 | s[2];
            continue;
          }
          composited = true;
          k[x] = blend(s[0], a, bg_r) << 16 | blend(s[1], a, bg_g) << 8 | blend(s[2], a, bg_b);
        }
        break;
      case TZF_FORMAT_INDEX:
        for (uint32_t x = 0; x < w; ++x) {
          const uint8_t* c = image.palette[s[x] < image.palette_size ? s[x] : 0];
          k[x] = uint32_t{c[0]} << 16 | c[1] << 8 | c[2];
        }
        break;
      default:
        break;
    }
  }
  return composited;
}

// Whether every index lies inside the image's colour table.
bool indices_valid(const tzf_image& image) {
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* s = source_row(image, y);
    for (uint32_t x = 0; x < image.width; ++x) {
      if (s[x] >= image.palette_size) return false;
    }
  }
  return true;
}

void gather_indices(const tzf_image& image, uint8_t* indices) {
  for (uint32_t y = 0; y < image.height; ++y) {
    memcpy(indices + static_cast<size_t>(y) * image.width, source_row(image, y), image.width);
  }
}

void put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

struct ProgressCall {
  const tzf_progress* progress;
  uint32_t height;
};

// Work steps report into the caller's rows: colour choice takes the first
// half of the rows when there is one, the parse the rest.
struct Stage {
  const ProgressCall* call;
  uint32_t from, span;  // rows of the caller's count this stage covers
};

bool report_stage(void* user, uint32_t done, uint32_t total) {
  const Stage& s = *static_cast<const Stage*>(user);
  const tzf_progress* p = s.call->progress;
  if (p == nullptr || p->row == nullptr || total == 0) return true;
  const uint32_t rows = s.from + static_cast<uint32_t>(uint64_t{done} * s.span / total);
  return p->row(p->user, std::min(rows, s.call->height), s.call->height) == 0;
}

}  // namespace

extern "C" {

int tzf_encode_size(const tzf_image* image, const tzf_encode_options* options,
                    size_t* max_file_bytes, size_t* work_bytes) {
  Plan plan;
  const int status = plan_encoding(image, options, plan);
  if (status != TZF_OK) return status;
  if (max_file_bytes != nullptr) *max_file_bytes = static_cast<size_t>(plan.max_file_bytes);
  if (work_bytes != nullptr) *work_bytes = static_cast<size_t>(plan.work_bytes);
  return TZF_OK;
}

int tzf_encode(const tzf_image* image, const tzf_encode_options* options, void* work,
               size_t work_size, void* out, size_t out_size, tzf_encode_result* result) {
  Plan plan;
  int status = plan_encoding(image, options, plan);
  if (status != TZF_OK) return status;
  if (out == nullptr || (work == nullptr && plan.work_bytes != 0)) return TZF_ERROR_BAD_ARGUMENT;
  if (work_size < plan.work_bytes || out_size < plan.max_file_bytes) return TZF_ERROR_BUFFER_SIZE;
  const tzf_encode_options defaults{};
  const tzf_encode_options& o = options != nullptr ? *options : defaults;
  if (image->format == TZF_FORMAT_INDEX && !indices_valid(*image)) return TZF_ERROR_BAD_ARGUMENT;

  tzf_encode_result res{};
  res.bits_per_pixel = plan.file_bytes_per_pixel * 8;
  uint8_t* w = static_cast<uint8_t*>(work);
  uint32_t* keys = reinterpret_cast<uint32_t*>(w + plan.keys_at);
  uint8_t* indices = w + plan.indices_at;
  const ProgressCall call{o.progress, plan.height};
  const bool quantising = plan.file_bytes_per_pixel == 1 && plan.true_colour_input;
  Stage quantise_stage{&call, 0, quantising ? plan.height / 2 : 0};
  Stage parse_stage{&call, quantise_stage.span, plan.height - quantise_stage.span};
  const QuantiseProgress quantise_progress{report_stage, &quantise_stage};

  // The colour table (red, green, blue) of an 8-bit file.
  uint8_t palette[256][3] = {};
  uint32_t colours = 0;
  if (plan.file_bytes_per_pixel == 3 || plan.true_colour_input) {
    res.composited = gather_keys(*image, plan.background, keys) ? 1 : 0;
  }
  if (plan.file_bytes_per_pixel == 1 && !plan.true_colour_input) {
    gather_indices(*image, indices);
    colours = image->palette_size;
    memcpy(palette, image->palette, size_t{colours} * 3);
  } else if (quantising) {
    void* qwork = w + plan.quantise_at;
    const size_t qsize = static_cast<size_t>(plan.quantise_bytes);
    if (o.palette_size == 0) {
      colours = exact_colours(keys, plan.pixels, palette, indices, qwork, qsize);
    }
    if (colours == 0) {
      res.quantised = 1;
      if (o.palette_size != 0) {
        colours = o.palette_size;
        memcpy(palette, o.palette, size_t{colours} * 3);
      } else {
        colours =
            choose_palette(keys, plan.width, plan.height, palette, qwork, qsize, quantise_progress);
        if (colours == 0) return TZF_ERROR_CANCELLED;
      }
      if (!remap_pixels(keys, plan.width, plan.height, palette, colours, plan.dither, indices,
                        qwork, qsize, quantise_progress)) {
        return TZF_ERROR_CANCELLED;
      }
    }
  }
  res.colours = plan.file_bytes_per_pixel == 1 ? colours : 0;

  ParseInput in{};
  in.width = plan.width;
  in.height = plan.height;
  in.keys = keys;
  in.indices = plan.file_bytes_per_pixel == 1 ? indices : nullptr;
  in.fast = plan.effort == TZF_EFFORT_FAST;
  in.work = w + plan.parse_at;
  in.progress = QuantiseProgress{report_stage, &parse_stage};
  uint8_t* file = static_cast<uint8_t*>(out);
  const uint64_t stream_at =
      kHeaderLength + (plan.file_bytes_per_pixel == 1 ? kColourTableLength : 0);
  ParseOutput parsed{};
  if (!parse_and_write(in, file + stream_at, parsed)) return TZF_ERROR_CANCELLED;

  memset(file, 0, static_cast<size_t>(stream_at));
  memcpy(file + kFieldMagic, kMagic, sizeof kMagic);
  put_u32(file + kFieldVersion, kFormatVersion);
  put_u32(file + kFieldHeaderLength, kHeaderLength);
  put_u32(file + kFieldWidth, plan.width);
  put_u32(file + kFieldHeight, plan.height);
  file[kFieldBitsPerPixel] = static_cast<uint8_t>(plan.file_bytes_per_pixel * 8);
  put_u32(file + kFieldPixelStreamOffset, static_cast<uint32_t>(stream_at));
  put_u32(file + kFieldFlagStreamLength, static_cast<uint32_t>(parsed.flag_bytes));
  put_u32(file + kFieldCommandStreamLength, static_cast<uint32_t>(parsed.command_bytes));
  if (plan.file_bytes_per_pixel == 1) {
    for (uint32_t i = 0; i < colours; ++i) {
      uint8_t* e = file + kHeaderLength + 4 * i;
      e[0] = palette[i][2];
      e[1] = palette[i][1];
      e[2] = palette[i][0];
    }
  }
  res.size = static_cast<size_t>(stream_at + parsed.flag_bytes + parsed.command_bytes +
                                 parsed.literal_bytes);
  res.literal_pixels = parsed.literal_pixels;
  res.runs = parsed.runs;
  res.run_pixels = parsed.run_pixels;
  if (o.progress != nullptr && o.progress->row != nullptr &&
      o.progress->row(o.progress->user, plan.height, plan.height) != 0) {
    return TZF_ERROR_CANCELLED;
  }
  if (result != nullptr) *result = res;
  return TZF_OK;
}

}  // extern "C"
