// Encodes a picture the fuzzer chooses through tzf_encode, with buffers of
// exactly the sizes tzf_encode_size asks for, and decodes the file with
// tzf_decode: 24-bit files give back the pixels (transparent ones composited
// over the background), 8-bit files the colour table's entries for the
// indices given, or exactly the pixels when they have at most 256 colours
// and no table was given, and otherwise colours of the file's table. The
// smallest parse is never larger than the fast one, the streams' lengths
// agree with the counts in the result, and a progress callback that answers
// nonzero stops the encoding with TZF_ERROR_CANCELLED.
//
// Input: byte 0: bits 0-1 the layout (RGB, RGBA, NATIVE, INDEX), bits 2-3
// the rows (tight, padded, bottom-up, bottom-up and padded), bit 4 the fast
// effort, bits 5-6 the depth (auto, 8, 24, auto), bit 7 a background colour
// (bytes 5-7). Byte 1: bits 0-1 the dither, bit 2 a fixed colour table, bit 3
// a progress callback that cancels at row byte 8 (mod height + 1), bits 4-6
// how many low bits of every pixel byte are kept (1 to 8: fewer give more
// repeats). Byte 2: width - 1 (1 to 96), byte 3: height - 1 (1 to 48), byte
// 4: entries - 1 of the colour tables. The rest, repeated as needed, gives
// the colour tables and then the pixel bytes.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tzf/tzf.h"

namespace {

constexpr size_t kHead = 9;

struct Progress {
  uint32_t cancel_at = UINT32_MAX;  // cancels at the first report of this many rows or more
  uint32_t last = 0;
  uint32_t height = 0;
};

int report(void* user, uint32_t rows_done, uint32_t height) {
  Progress& p = *static_cast<Progress*>(user);
  FUZZ_CHECK(height == p.height && rows_done <= height && rows_done >= p.last,
             "progress reported %u of %u rows after %u of %u", rows_done, height, p.last, p.height);
  p.last = rows_done;
  return rows_done >= p.cancel_at ? 1 : 0;
}

uint32_t blend(uint32_t c, uint32_t a, uint32_t bg) { return (c * a + bg * (255 - a) + 127) / 255; }

uint32_t rgb_of(const uint8_t* c) { return uint32_t{c[0]} << 16 | c[1] << 8 | c[2]; }

struct Encoded {
  int status = 0;
  size_t max_file_bytes = 0;
  std::vector<uint8_t> file;
  tzf_encode_result result{};
};

Encoded encode(const tzf_image& image, tzf_encode_options options, Progress* progress) {
  Encoded e;
  size_t work_bytes = 0;
  e.status = tzf_encode_size(&image, &options, &e.max_file_bytes, &work_bytes);
  if (e.status != TZF_OK) return e;
  // Exactly the sizes asked for: the sanitizer sees any byte past them. The
  // work is left as it comes: the colour choice's is megabytes, and nothing
  // may depend on what it holds.
  std::unique_ptr<uint8_t[]> work(new uint8_t[work_bytes]);
  e.file.resize(e.max_file_bytes);
  tzf_progress callback{report, progress};
  if (progress != nullptr) options.progress = &callback;
  if (work_bytes != 0) {
    FUZZ_CHECK(tzf_encode(&image, &options, work.get(), work_bytes - 1, e.file.data(),
                          e.file.size(), &e.result) == TZF_ERROR_BUFFER_SIZE,
               "a work buffer a byte short was taken");
  }
  e.status =
      tzf_encode(&image, &options, work.get(), work_bytes, e.file.data(), e.file.size(), &e.result);
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size <= kHead) return 0;
  const uint8_t* rest = data + kHead;
  const size_t rest_size = size - kHead;
  size_t at = 0;
  const auto next = [&] { return rest[at++ % rest_size]; };

  static constexpr int kFormats[4] = {TZF_FORMAT_RGB, TZF_FORMAT_RGBA, TZF_FORMAT_NATIVE,
                                      TZF_FORMAT_INDEX};
  static constexpr int kDepths[4] = {TZF_DEPTH_AUTO, TZF_DEPTH_8, TZF_DEPTH_24, TZF_DEPTH_AUTO};
  const int format = kFormats[data[0] & 3];
  const uint32_t rows_kind = data[0] >> 2 & 3;
  const uint32_t width = 1 + data[2] % 96, height = 1 + data[3] % 48;
  const uint32_t entries = 1 + uint32_t{data[4]};
  const uint8_t keep = static_cast<uint8_t>(0xFF00u >> (1 + (data[1] >> 4 & 7)));
  const uint32_t in_bytes = format == TZF_FORMAT_RGBA ? 4 : format == TZF_FORMAT_INDEX ? 1 : 3;

  tzf_encode_options options{};
  options.effort = (data[0] & 0x10) != 0 ? TZF_EFFORT_FAST : TZF_EFFORT_SMALLEST;
  options.bits_per_pixel = kDepths[data[0] >> 5 & 3];
  options.dither = data[1] & 3;
  if (options.dither > TZF_DITHER_ERROR_DIFFUSION) options.dither = TZF_DITHER_NONE;
  const uint32_t background = (data[0] & 0x80) != 0 ? rgb_of(data + 5) : 0xFFFFFFu;
  if ((data[0] & 0x80) != 0) options.background = TZF_BACKGROUND(background);

  std::vector<uint8_t> table(size_t{entries} * 3);
  for (uint8_t& b : table) b = next();
  const auto* table_rgb = reinterpret_cast<const uint8_t(*)[3]>(table.data());
  const bool fixed = (data[1] & 4) != 0;
  if (fixed) {
    options.palette = table_rgb;
    options.palette_size = entries;
  }

  // The pixels, and what each should decode to before any colour table.
  const size_t row_bytes = size_t{width} * in_bytes;
  const size_t stride = row_bytes + ((rows_kind & 1) != 0 ? 5 : 0);
  std::vector<uint8_t> memory(stride * height, 0xA5);
  std::vector<uint32_t> expected(size_t{width} * height);  // top row first
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t place = (rows_kind & 2) != 0 ? height - 1 - y : y;  // row y's place in memory
    uint8_t* row = memory.data() + size_t{place} * stride;
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = row + size_t{x} * in_bytes;
      for (uint32_t b = 0; b < in_bytes; ++b) p[b] = next() & keep;
      uint32_t& e = expected[size_t{y} * width + x];
      switch (format) {
        case TZF_FORMAT_RGB:
          e = rgb_of(p);
          break;
        case TZF_FORMAT_NATIVE:
          e = uint32_t{p[2]} << 16 | p[1] << 8 | p[0];
          break;
        case TZF_FORMAT_RGBA:
          if ((p[3] & 1) != 0) p[3] = 255;  // half the pixels opaque
          e = blend(p[0], p[3], background >> 16) << 16 |
              blend(p[1], p[3], background >> 8 & 255) << 8 | blend(p[2], p[3], background & 255);
          break;
        default:
          p[0] = static_cast<uint8_t>(p[0] % entries);
          e = rgb_of(table_rgb[p[0]]);
          break;
      }
    }
  }
  tzf_image image{};
  image.width = width;
  image.height = height;
  image.format = format;
  const bool bottom_up = (rows_kind & 2) != 0;
  image.pixels = memory.data() + (bottom_up ? (height - 1) * stride : 0);
  image.stride = bottom_up ? -static_cast<ptrdiff_t>(stride) : static_cast<ptrdiff_t>(stride);
  if (format == TZF_FORMAT_INDEX) {
    image.palette = table_rgb;
    image.palette_size = entries;
  }

  Progress progress;
  progress.height = height;
  const Encoded e = encode(image, options, &progress);
  FUZZ_CHECK(e.status == TZF_OK, "tzf_encode of %ux%u layout %d: %s", width, height, format,
             tzf_status_text(e.status));
  FUZZ_CHECK(progress.last == height, "progress ended at %u of %u rows", progress.last, height);
  const tzf_encode_result& r = e.result;
  FUZZ_CHECK(r.size <= e.max_file_bytes, "%zu bytes written, %zu promised", r.size,
             e.max_file_bytes);

  // The file's parts agree with the counts.
  tzf_info info{};
  FUZZ_CHECK(tzf_read_info(e.file.data(), r.size, &info) == TZF_OK, "the file is not read back");
  const uint32_t stored = info.bits_per_pixel / 8;
  const int depth = options.bits_per_pixel != TZF_DEPTH_AUTO ? options.bits_per_pixel
                    : format == TZF_FORMAT_INDEX             ? 8
                                                             : 24;
  FUZZ_CHECK(info.width == width && info.height == height &&
                 info.bits_per_pixel == static_cast<uint32_t>(depth) &&
                 r.bits_per_pixel == info.bits_per_pixel,
             "the header says %ux%u at %u bits", info.width, info.height, info.bits_per_pixel);
  FUZZ_CHECK(r.literal_pixels + r.run_pixels == uint64_t{width} * height &&
                 info.flag_stream_length == (r.literal_pixels + r.runs + 7) / 8 &&
                 info.command_stream_length == r.runs &&
                 info.literal_offset + r.literal_pixels * stored == r.size,
             "the streams' lengths do not match %llu literals and %llu runs",
             static_cast<unsigned long long>(r.literal_pixels),
             static_cast<unsigned long long>(r.runs));
  bool opaque = true;
  if (format == TZF_FORMAT_RGBA) {
    for (uint32_t y = 0; y < height && opaque; ++y) {
      const uint8_t* row = static_cast<const uint8_t*>(image.pixels) + y * image.stride;
      for (uint32_t x = 0; x < width; ++x) opaque = opaque && row[x * 4 + 3] == 255;
    }
  }
  FUZZ_CHECK(r.composited == (opaque ? 0u : 1u), "composited says %u", r.composited);

  std::vector<uint8_t> decoded(size_t{width} * height * 3);
  FUZZ_CHECK(tzf_decode(e.file.data(), r.size, TZF_FORMAT_RGB, decoded.data(),
                        static_cast<ptrdiff_t>(width) * 3, nullptr) == TZF_OK,
             "tzf_decode refused the file");
  const std::set<uint32_t> distinct(expected.begin(), expected.end());
  const bool exact =
      depth == 24 || format == TZF_FORMAT_INDEX || (!fixed && distinct.size() <= 256);
  std::set<uint32_t> table_colours;
  for (uint32_t i = 0; i < r.colours && depth == 8; ++i)
    table_colours.insert(rgb_of(info.palette[i]));
  if (depth == 8 && fixed && format != TZF_FORMAT_INDEX) {
    FUZZ_CHECK(r.colours == entries && r.quantised == 1 &&
                   memcmp(info.palette, table.data(), table.size()) == 0,
               "the file's table is not the one given");
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    const uint32_t got = rgb_of(&decoded[i * 3]);
    if (exact) {
      FUZZ_CHECK(got == expected[i], "pixel %zu decodes to %06X, not %06X", i, got, expected[i]);
    } else {
      FUZZ_CHECK(table_colours.count(got) == 1, "pixel %zu decodes to %06X, not in the table", i,
                 got);
    }
  }

  // The other effort: the smallest parse is never larger than the fast one.
  tzf_encode_options other = options;
  other.effort = options.effort == TZF_EFFORT_FAST ? TZF_EFFORT_SMALLEST : TZF_EFFORT_FAST;
  const Encoded o = encode(image, other, nullptr);
  FUZZ_CHECK(o.status == TZF_OK, "the other effort: %s", tzf_status_text(o.status));
  const size_t smallest = options.effort == TZF_EFFORT_FAST ? o.result.size : r.size;
  const size_t fast = options.effort == TZF_EFFORT_FAST ? r.size : o.result.size;
  FUZZ_CHECK(smallest <= fast, "the smallest parse wrote %zu bytes, the fast one %zu", smallest,
             fast);

  if ((data[1] & 8) != 0) {
    Progress stop;
    stop.height = height;
    stop.cancel_at = data[8] % (height + 1);
    const Encoded c = encode(image, options, &stop);
    FUZZ_CHECK(c.status == TZF_ERROR_CANCELLED, "a cancelling callback gave %s",
               tzf_status_text(c.status));
  }
  return 0;
}
