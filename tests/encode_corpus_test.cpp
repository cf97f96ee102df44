// The encoder on the corpora: every picture of tests/corpus/write/ (write.tsv)
// and every golden `ok` picture's PNG, encoded through the public
// tzf_encode from every layout and row order it takes, at both efforts and
// both depths, then read back by every reader: tzf_decode, the oracle
// decoder and the filter's GetPicture from memory and from a file. A new
// picture in either corpus needs no new test code.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/corpus/corpus_files.h"
#include "tests/oracle_decoder.h"
#include "tests/picture_decode.h"
#include "tzf/tzf.h"

namespace {

const std::string kWriteDir = std::string(TZF_CORPUS_DIR) + "/write";

// One picture to encode. `expected` is what a 24-bit file decodes to: the
// PNG's colours, composited over white for a picture with alpha.
struct Source {
  std::string name;
  std::string kind;  // palette, rgb, rgba (write.tsv) or golden
  PngPicture input;
  RgbImage expected;
  size_t distinct_colours = 0;
  bool translucent = false;  // some pixel's alpha is below 255
};

uint32_t key_at(const RgbImage& image, size_t pixel) {
  const uint8_t* c = &image.rgb[pixel * 3];
  return uint32_t{c[0]} << 16 | uint32_t{c[1]} << 8 | c[2];
}

std::set<uint32_t> colours_of(const RgbImage& image) {
  std::set<uint32_t> keys;
  for (size_t i = 0; i < image.rgb.size() / 3; ++i) keys.insert(key_at(image, i));
  return keys;
}

bool read_png(const std::string& path, PngPicture& picture) {
  CorpusBytes png;
  return read_whole_file(path, png) && png_decode(png, picture);
}

// The lines of write.tsv as NAME, KIND, EXPECTED; empty lines and comments
// skipped.
std::vector<std::vector<std::string>> write_list() {
  CorpusBytes text;
  EXPECT_TRUE(read_whole_file(kWriteDir + "/write.tsv", text)) << kWriteDir << "/write.tsv";
  std::vector<std::vector<std::string>> lines;
  std::string line;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? static_cast<char>(text[i]) : '\n';
    if (c != '\n') {
      if (c != '\r') line += c;
      continue;
    }
    if (!line.empty() && line[0] != '#') {
      std::vector<std::string> fields(1);
      for (char f : line) {
        if (f == '\t') {
          fields.emplace_back();
        } else {
          fields.back() += f;
        }
      }
      EXPECT_EQ(fields.size(), 3u) << "write.tsv: " << line;
      if (fields.size() == 3) lines.push_back(fields);
    }
    line.clear();
  }
  return lines;
}

std::vector<Source> load_sources() {
  std::vector<Source> sources;
  for (const std::vector<std::string>& line : write_list()) {
    Source s;
    s.name = line[0];
    s.kind = line[1];
    EXPECT_TRUE(s.kind == "palette" || s.kind == "rgb" || s.kind == "rgba") << s.name;
    EXPECT_TRUE(read_png(kWriteDir + "/" + s.name, s.input)) << s.name;
    PngPicture expected;
    EXPECT_TRUE(read_png(kWriteDir + "/" + line[2], expected)) << line[2];
    EXPECT_NE(expected.colour_type, 6) << line[2] << ": expected pixels hold no alpha";
    const int colour_type = s.kind == "palette" ? 3 : s.kind == "rgb" ? 2 : 6;
    EXPECT_EQ(s.input.colour_type, colour_type) << s.name;
    EXPECT_EQ(expected.image.width, s.input.image.width) << s.name;
    EXPECT_EQ(expected.image.height, s.input.image.height) << s.name;
    if (s.input.colour_type != colour_type || expected.image.rgb.size() != s.input.image.rgb.size())
      continue;
    s.expected = expected.image;
    sources.push_back(std::move(s));
  }
  EXPECT_GE(sources.size(), 10u) << "the write corpus seems incomplete";

  std::vector<CorpusEntry> entries;
  std::string error;
  EXPECT_TRUE(read_expected(TZF_CORPUS_DIR, entries, error)) << error;
  size_t golden = 0;
  for (const CorpusEntry& entry : entries) {
    if (entry.klass != "ok") continue;
    Source s;
    s.name = entry.stem() + ".png";
    s.kind = "golden";
    if (!read_png(std::string(TZF_CORPUS_DIR) + "/" + s.name, s.input)) {
      ADD_FAILURE() << s.name;
      continue;
    }
    s.expected = s.input.image;
    sources.push_back(std::move(s));
    ++golden;
  }
  EXPECT_GE(golden, 40u) << "the golden corpus seems incomplete";
  for (Source& s : sources) {
    s.distinct_colours = colours_of(s.expected).size();
    s.translucent =
        std::any_of(s.input.alpha.begin(), s.input.alpha.end(), [](uint8_t a) { return a != 255; });
  }
  return sources;
}

const std::vector<Source>& sources() {
  static const std::vector<Source> all = load_sources();
  return all;
}

// ---- Pixels laid out as a caller holds them ----

enum class Rows { kTight, kPadded, kBottomUp };
const Rows kAllRows[] = {Rows::kTight, Rows::kPadded, Rows::kBottomUp};

const char* rows_name(Rows rows) {
  return rows == Rows::kTight ? "tight" : rows == Rows::kPadded ? "padded" : "bottom-up";
}

// The layouts the encoder reads; kRgbaAlpha is the PNG's own alpha.
enum class Layout { kRgb, kRgbaOpaque, kRgbaAlpha, kNative, kIndex };

const char* layout_name(Layout layout) {
  switch (layout) {
    case Layout::kRgb:
      return "RGB";
    case Layout::kRgbaOpaque:
      return "RGBA (opaque)";
    case Layout::kRgbaAlpha:
      return "RGBA (its alpha)";
    case Layout::kNative:
      return "NATIVE";
    case Layout::kIndex:
      return "INDEX";
  }
  return "?";
}

// The layouts a source can be given in.
std::vector<Layout> layouts_of(const Source& s) {
  std::vector<Layout> layouts = {Layout::kRgb, Layout::kRgbaOpaque, Layout::kNative};
  if (s.input.colour_type == 6) layouts.push_back(Layout::kRgbaAlpha);
  if (s.input.colour_type == 3) layouts.push_back(Layout::kIndex);
  return layouts;
}

int format_of(Layout layout) {
  switch (layout) {
    case Layout::kRgb:
      return TZF_FORMAT_RGB;
    case Layout::kNative:
      return TZF_FORMAT_NATIVE;
    case Layout::kIndex:
      return TZF_FORMAT_INDEX;
    case Layout::kRgbaOpaque:
    case Layout::kRgbaAlpha:
      break;
  }
  return TZF_FORMAT_RGBA;
}

struct Laid {
  CorpusBytes buffer;
  uint8_t palette[256][3] = {};
  tzf_image image{};
};

void lay_out(const Source& s, Layout layout, Rows rows, Laid& laid) {
  const uint32_t w = s.expected.width, h = s.expected.height;
  const size_t bpp = layout == Layout::kIndex                              ? 1
                     : layout == Layout::kRgb || layout == Layout::kNative ? 3
                                                                           : 4;
  const size_t row = w * bpp;
  const size_t stride = rows == Rows::kPadded ? row + 13 : row;
  laid.buffer.assign(stride * h, 0xA5);
  for (uint32_t y = 0; y < h; ++y) {
    // Bottom-up rows: the picture's top row lies last in memory.
    uint8_t* out = laid.buffer.data() + (rows == Rows::kBottomUp ? h - 1 - y : y) * stride;
    for (uint32_t x = 0; x < w; ++x, out += bpp) {
      const size_t i = static_cast<size_t>(y) * w + x;
      const uint8_t* c = &s.expected.rgb[i * 3];
      switch (layout) {
        case Layout::kRgb:
          memcpy(out, c, 3);
          break;
        case Layout::kRgbaOpaque:
          memcpy(out, c, 3);
          out[3] = 255;
          break;
        case Layout::kRgbaAlpha:
          memcpy(out, &s.input.image.rgb[i * 3], 3);
          out[3] = s.input.alpha[i];
          break;
        case Layout::kNative:
          out[0] = c[2];
          out[1] = c[1];
          out[2] = c[0];
          break;
        case Layout::kIndex:
          out[0] = s.input.indices[i];
          break;
      }
    }
  }
  laid.image = tzf_image{};
  laid.image.width = w;
  laid.image.height = h;
  laid.image.format = format_of(layout);
  laid.image.stride =
      rows == Rows::kBottomUp ? -static_cast<ptrdiff_t>(stride) : static_cast<ptrdiff_t>(stride);
  laid.image.pixels =
      laid.buffer.data() + (rows == Rows::kBottomUp ? static_cast<size_t>(h - 1) * stride : 0);
  if (layout == Layout::kIndex) {
    laid.image.palette_size = static_cast<uint32_t>(s.input.palette.size() / 3);
    memcpy(laid.palette, s.input.palette.data(), s.input.palette.size());
    laid.image.palette = laid.palette;
  }
}

// ---- Encoding into buffers of exactly the sizes asked for ----

struct Encoded {
  int size_status = -1;
  int status = -1;
  size_t max_file_bytes = 0;
  size_t work_bytes = 0;
  tzf_encode_result result{};
  CorpusBytes file;  // result.size bytes
};

// Work blocks kept between the encodings of one picture, each of exactly a
// size asked for: a fresh block of megabytes for every encoding is most of
// the run under the address sanitizer.
struct Scratch {
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  std::vector<size_t> sizes;
  uint8_t* block(size_t size) {
    if (size == 0) return nullptr;
    for (size_t i = 0; i < sizes.size(); ++i) {
      if (sizes[i] == size) return blocks[i].get();
    }
    blocks.emplace_back(new uint8_t[size]);
    sizes.push_back(size);
    return blocks.back().get();
  }
};

Encoded encode(const tzf_image& image, const tzf_encode_options& options, Scratch& scratch,
               size_t out_short = 0, size_t work_short = 0) {
  Encoded e;
  e.size_status = tzf_encode_size(&image, &options, &e.max_file_bytes, &e.work_bytes);
  if (e.size_status != TZF_OK) return e;
  // Exact sizes, so that a write past either is caught by the address
  // sanitizer. The work block holds what an encoding before left: the
  // encoder sets what it reads.
  const size_t work_size = e.work_bytes - std::min(work_short, e.work_bytes);
  const size_t out_size = e.max_file_bytes - out_short;
  const std::unique_ptr<uint8_t[]> out(new uint8_t[out_size]);
  e.status = tzf_encode(&image, &options, scratch.block(work_size), work_size, out.get(), out_size,
                        &e.result);
  if (e.status == TZF_OK && e.result.size <= out_size) {
    e.file.assign(out.get(), out.get() + e.result.size);
  }
  return e;
}

tzf_encode_options options_for(int effort, int depth) {
  tzf_encode_options o{};
  o.effort = effort;
  o.bits_per_pixel = depth;
  return o;
}

const int kEfforts[] = {TZF_EFFORT_SMALLEST, TZF_EFFORT_FAST};

std::string what(const Source& s, const char* from, int effort, int depth) {
  return s.name + " from " + from + (effort == TZF_EFFORT_FAST ? ", fast, " : ", smallest, ") +
         std::to_string(depth) + " bits";
}

// The files a source gives, from RGB rows (true colour) and, for an indexed
// picture, from INDEX rows at 8 bits; every other layout and row order must
// write the same bytes.
struct Reference {
  int effort;
  int depth;
  bool from_index;
  Encoded encoded;
};

std::vector<Reference> references_of(const Source& s) {
  std::vector<Reference> refs;
  Scratch scratch;
  for (int depth : {24, 8}) {
    for (int effort : kEfforts) {
      Laid laid;
      lay_out(s, Layout::kRgb, Rows::kTight, laid);
      refs.push_back(
          {effort, depth, false, encode(laid.image, options_for(effort, depth), scratch)});
      if (depth == 8 && s.input.colour_type == 3) {
        lay_out(s, Layout::kIndex, Rows::kTight, laid);
        refs.push_back(
            {effort, depth, true, encode(laid.image, options_for(effort, depth), scratch)});
      }
    }
  }
  return refs;
}

// Every source's references, in the order of sources(), made once.
const std::vector<Reference>& references(size_t source) {
  static const std::vector<std::vector<Reference>> all = [] {
    std::vector<std::vector<Reference>> refs;
    for (const Source& s : sources()) refs.push_back(references_of(s));
    return refs;
  }();
  return all.at(source);
}

const Reference* find_reference(const std::vector<Reference>& refs, int effort, int depth,
                                bool from_index) {
  for (const Reference& r : refs) {
    if (r.effort == effort && r.depth == depth && r.from_index == from_index) return &r;
  }
  return nullptr;
}

TEST(EncodeCorpus, EveryLayoutAndRowOrderWritesTheSameFile) {
  for (size_t i = 0; i < sources().size(); ++i) {
    const Source& s = sources()[i];
    const std::vector<Reference>& refs = references(i);
    Scratch scratch;
    for (const Reference& r : refs) {
      ASSERT_EQ(r.encoded.status, TZF_OK)
          << what(s, r.from_index ? "INDEX" : "RGB", r.effort, r.depth);
    }
    for (Layout layout : layouts_of(s)) {
      for (Rows rows : kAllRows) {
        Laid laid;
        lay_out(s, layout, rows, laid);
        // Reading the rows does not depend on the effort: each layout's
        // row orders take the efforts in turn, which keeps the run short.
        const int effort = kEfforts[(static_cast<int>(layout) + static_cast<int>(rows)) % 2];
        for (int depth : {24, 8}) {
          // The palette chooser takes the pixels as the 24-bit files show
          // them read; it runs once a layout, as it is slow under the
          // sanitizers.
          if (depth == 8 && s.distinct_colours > 256 && layout != Layout::kIndex &&
              rows != Rows::kBottomUp) {
            continue;
          }
          const std::string how =
              what(s, layout_name(layout), effort, depth) + ", rows " + rows_name(rows);
          const Reference* ref =
              find_reference(refs, effort, depth, layout == Layout::kIndex && depth == 8);
          ASSERT_NE(ref, nullptr) << how;
          const Encoded e = encode(laid.image, options_for(effort, depth), scratch);
          ASSERT_EQ(e.status, TZF_OK) << how;
          EXPECT_EQ(e.max_file_bytes, ref->encoded.max_file_bytes) << how;
          EXPECT_TRUE(e.file == ref->encoded.file) << how << ": not the bytes RGB rows give";
          EXPECT_EQ(e.result.composited, layout == Layout::kRgbaAlpha && s.translucent ? 1u : 0u)
              << how;
        }
      }
    }
  }
}

// ---- Reading the files back ----

// The DIB's pixels as RGB, top row first: rows bottom-up, padded to four
// bytes, 8-bit pixels through the info block's colour table.
RgbImage rgb_of_dib(const Decoded& d, uint32_t width, uint32_t height, uint32_t bits) {
  RgbImage image;
  const size_t bpp = bits / 8;
  const size_t stride = (width * bpp + 3) / 4 * 4;
  if (d.pixels.size() != stride * height || d.info.size() != (bits == 8 ? 40u + 1024u : 40u))
    return image;
  image.width = width;
  image.height = height;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = d.pixels.data() + (height - 1 - y) * stride;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* bgr = bpp == 3 ? row + x * 3 : d.info.data() + 40 + row[x] * 4;
      image.rgb.insert(image.rgb.end(), {bgr[2], bgr[1], bgr[0]});
    }
  }
  return image;
}

// Mean absolute difference a channel.
double mean_error(const RgbImage& a, const RgbImage& b) {
  if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 1e9;
  uint64_t sum = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i)
    sum += static_cast<uint64_t>(std::abs(a.rgb[i] - b.rgb[i]));
  return static_cast<double>(sum) / static_cast<double>(a.rgb.size());
}

// Decodes `file` through every reader; all must agree with tzf_decode and
// the oracle, which the function returns (empty on failure).
RgbImage read_back(const CorpusBytes& file, const tzf_encode_result& result, const RgbImage& shape,
                   const std::string& how) {
  const uint32_t w = shape.width, h = shape.height;
  tzf_info info{};
  EXPECT_EQ(tzf_read_info(file.data(), file.size(), &info), TZF_OK) << how;
  EXPECT_EQ(info.width, w) << how;
  EXPECT_EQ(info.height, h) << how;
  EXPECT_EQ(info.bits_per_pixel, result.bits_per_pixel) << how;
  EXPECT_EQ(info.truncated, 0u) << how;
  tzf_parts parts{};
  tzf_result scanned{};
  EXPECT_EQ(tzf_parts_of_data(&info, file.data(), file.size(), &parts), TZF_OK) << how;
  EXPECT_EQ(tzf_scan_parts(&info, &parts, &scanned), TZF_OK) << how;
  EXPECT_EQ(scanned.rows_held, h) << how;
  EXPECT_EQ(scanned.truncated, 0u) << how << ": the file is short of its own data";

  // tzf_decode, rows padded, from a copy of exactly the file's size.
  const size_t stride = size_t{w} * 3 + 7;
  std::vector<uint8_t> out(stride * h, 0xEE);
  const ExactBuffer exact = exact_copy(file);
  EXPECT_EQ(tzf_decode(exact.data.get(), exact.size, TZF_FORMAT_RGB, out.data(),
                       static_cast<ptrdiff_t>(stride), nullptr),
            TZF_OK)
      << how;
  RgbImage decoded;
  decoded.width = w;
  decoded.height = h;
  for (uint32_t y = 0; y < h; ++y) {
    decoded.rgb.insert(decoded.rgb.end(), out.begin() + static_cast<ptrdiff_t>(y * stride),
                       out.begin() + static_cast<ptrdiff_t>(y * stride + size_t{w} * 3));
  }

  // The oracle, through the colour table the header gives.
  OracleReport report;
  const Bytes packed = oracle_packed_pixels(file.data(), file.size(), &report);
  EXPECT_FALSE(report.truncated) << how << ": oracle";
  uint8_t table[256][4] = {};
  for (int i = 0; i < 256; ++i) {
    table[i][0] = info.palette[i][2];
    table[i][1] = info.palette[i][1];
    table[i][2] = info.palette[i][0];
  }
  const uint32_t bpp = result.bits_per_pixel / 8;
  if (packed.size() != size_t{w} * h * bpp) {
    ADD_FAILURE() << how << ": the oracle gave " << packed.size() << " bytes";
    return RgbImage{};
  }
  const RgbImage oracle = rgb_from_decoding_order(packed.data(), w, h, bpp, &table[0][0]);
  EXPECT_TRUE(oracle.rgb == decoded.rgb) << how << ": tzf_decode and the oracle differ";

  // The filter, from memory and from a file: the blocks the oracle makes,
  // and the same pixels.
  const Decoded want = oracle_get_picture(file, nullptr, 0);
  for (int by_name = 0; by_name < 2; ++by_name) {
    const std::string where =
        how + (by_name ? ", GetPicture from a file" : ", GetPicture from memory");
    const Decoded got = by_name ? decode_file(file) : decode_memory(file);
    EXPECT_EQ(got.status, 0) << where;
    EXPECT_EQ(got.status, want.status) << where;
    EXPECT_TRUE(got.info == want.info) << where << ": info block";
    EXPECT_TRUE(got.pixels == want.pixels) << where << ": pixel block";
    EXPECT_TRUE(rgb_of_dib(got, w, h, result.bits_per_pixel).rgb == decoded.rgb) << where;
  }
  return decoded;
}

// The colour table entries an 8-bit file uses, as keys.
std::set<uint32_t> table_entries(const CorpusBytes& file, uint32_t count) {
  tzf_info info{};
  std::set<uint32_t> keys;
  if (tzf_read_info(file.data(), file.size(), &info) != TZF_OK) return keys;
  for (uint32_t i = 0; i < count && i < 256; ++i) {
    keys.insert(uint32_t{info.palette[i][0]} << 16 | uint32_t{info.palette[i][1]} << 8 |
                info.palette[i][2]);
  }
  return keys;
}

// The loose bound on a chosen palette's mean error a channel: far above any
// sane quantiser's, far below what a wrong palette or mapping gives.
constexpr double kMeanErrorBound = 24.0;

TEST(EncodeCorpus, EveryFileReadsBackThroughEveryReader) {
  size_t quantised_pictures = 0;
  for (size_t i = 0; i < sources().size(); ++i) {
    const Source& s = sources()[i];
    const std::vector<Reference>& refs = references(i);
    const uint64_t pixels = uint64_t{s.expected.width} * s.expected.height;
    for (const Reference& r : refs) {
      const Encoded& e = r.encoded;
      const std::string how = what(s, r.from_index ? "INDEX" : "RGB", r.effort, r.depth);
      ASSERT_EQ(e.status, TZF_OK) << how;
      EXPECT_LE(e.result.size, e.max_file_bytes) << how;
      EXPECT_EQ(e.result.bits_per_pixel, static_cast<uint32_t>(r.depth)) << how;
      EXPECT_EQ(e.result.composited, 0u) << how;
      EXPECT_EQ(e.result.literal_pixels + e.result.run_pixels, pixels) << how;
      EXPECT_LE(e.result.runs, e.result.run_pixels) << how;
      const RgbImage decoded = read_back(e.file, e.result, s.expected, how);

      const bool exact = r.depth == 24 || r.from_index || s.distinct_colours <= 256;
      if (exact) {
        EXPECT_TRUE(decoded.rgb == s.expected.rgb) << how << ": pixels differ from the PNG's";
      }
      if (r.depth == 24) {
        EXPECT_EQ(e.result.colours, 0u) << how;
        EXPECT_EQ(e.result.quantised, 0u) << how;
      } else if (r.from_index) {
        // The colour table and the indices as given.
        const uint32_t entries = static_cast<uint32_t>(s.input.palette.size() / 3);
        EXPECT_EQ(e.result.colours, entries) << how;
        EXPECT_EQ(e.result.quantised, 0u) << how;
        tzf_info info{};
        ASSERT_EQ(tzf_read_info(e.file.data(), e.file.size(), &info), TZF_OK) << how;
        EXPECT_EQ(memcmp(info.palette, s.input.palette.data(), s.input.palette.size()), 0)
            << how << ": colour table";
        std::vector<uint8_t> native(pixels, 0xEE);
        ASSERT_EQ(tzf_decode(e.file.data(), e.file.size(), TZF_FORMAT_NATIVE, native.data(),
                             static_cast<ptrdiff_t>(s.expected.width), nullptr),
                  TZF_OK)
            << how;
        EXPECT_TRUE(native == s.input.indices) << how << ": indices";
      } else if (exact) {
        // Exactly the picture's colours, each once.
        EXPECT_EQ(e.result.colours, s.distinct_colours) << how;
        EXPECT_EQ(e.result.quantised, 0u) << how;
        EXPECT_TRUE(table_entries(e.file, e.result.colours) == colours_of(s.expected))
            << how << ": colour table";
      } else {
        EXPECT_EQ(e.result.quantised, 1u) << how;
        EXPECT_GE(e.result.colours, 1u) << how;
        EXPECT_LE(e.result.colours, 256u) << how;
        EXPECT_LE(colours_of(decoded).size(), e.result.colours) << how;
        const double error = mean_error(decoded, s.expected);
        EXPECT_LE(error, kMeanErrorBound) << how << ": a chosen palette this far off";
        if (r.effort == TZF_EFFORT_SMALLEST) ++quantised_pictures;
      }
    }
    // The fast parse never beats the smallest.
    for (const Reference& fast : refs) {
      if (fast.effort != TZF_EFFORT_FAST) continue;
      const Reference* smallest =
          find_reference(refs, TZF_EFFORT_SMALLEST, fast.depth, fast.from_index);
      ASSERT_NE(smallest, nullptr);
      EXPECT_GE(fast.encoded.result.size, smallest->encoded.result.size)
          << what(s, fast.from_index ? "INDEX" : "RGB", fast.effort, fast.depth);
    }
  }
  EXPECT_GE(quantised_pictures, 3u) << "too few pictures take the palette-choosing path";
}

TEST(EncodeCorpus, RgbaIsCompositedOverTheBackgroundGiven) {
  for (const Source& s : sources()) {
    if (s.input.colour_type != 6) continue;
    Laid laid;
    lay_out(s, Layout::kRgbaAlpha, Rows::kPadded, laid);
    Scratch scratch;
    for (uint32_t background : {0x000000u, 0x3080C0u}) {
      const std::string how = s.name + " over " + std::to_string(background);
      tzf_encode_options o = options_for(TZF_EFFORT_FAST, 24);
      o.background = TZF_BACKGROUND(background);
      const Encoded e = encode(laid.image, o, scratch);
      ASSERT_EQ(e.status, TZF_OK) << how;
      EXPECT_EQ(e.result.composited, s.translucent ? 1u : 0u) << how;
      RgbImage want = s.expected;
      for (size_t i = 0; i < s.input.alpha.size(); ++i) {
        const uint32_t a = s.input.alpha[i];
        for (int k = 0; k < 3; ++k) {
          const uint32_t bg = background >> (16 - 8 * k) & 255;
          want.rgb[i * 3 + k] =
              static_cast<uint8_t>((s.input.image.rgb[i * 3 + k] * a + bg * (255 - a) + 127) / 255);
        }
      }
      EXPECT_TRUE(read_back(e.file, e.result, s.expected, how).rgb == want.rgb) << how;
    }
  }
}

// ---- Buffers, cancellation and bad arguments ----

TEST(EncodeCorpus, ABufferOneByteShortIsRefused) {
  for (const Source& s : sources()) {
    Scratch scratch;
    for (Layout layout : {Layout::kRgb, Layout::kIndex}) {
      if (layout == Layout::kIndex && s.input.colour_type != 3) continue;
      Laid laid;
      lay_out(s, layout, Rows::kTight, laid);
      for (int depth : {24, 8}) {
        for (int effort : kEfforts) {
          const std::string how = what(s, layout_name(layout), effort, depth);
          const tzf_encode_options o = options_for(effort, depth);
          EXPECT_EQ(encode(laid.image, o, scratch, 1, 0).status, TZF_ERROR_BUFFER_SIZE)
              << how << ": out";
          const Encoded e = encode(laid.image, o, scratch, 0, 1);
          if (e.work_bytes != 0) {
            EXPECT_EQ(e.status, TZF_ERROR_BUFFER_SIZE) << how << ": work";
          }
        }
      }
    }
  }
}

// Answers 0 to every call but the `stop_at`th (counted from 1), recording
// the rows reported.
struct Stopper {
  uint32_t stop_at = 0;
  std::vector<uint32_t> rows;
  uint32_t height_seen = 0;
};

int stopper_row(void* user, uint32_t rows_done, uint32_t height) {
  Stopper& s = *static_cast<Stopper*>(user);
  s.rows.push_back(rows_done);
  s.height_seen = height;
  return s.rows.size() == s.stop_at ? 1 : 0;
}

TEST(EncodeCorpus, ACancellingProgressCallbackStopsTheEncoding) {
  for (const Source& s : sources()) {
    if (s.kind == "golden") continue;  // the write corpus has every shape
    Scratch scratch;
    Laid laid;
    lay_out(s, Layout::kRgb, Rows::kTight, laid);
    for (int depth : {24, 8}) {
      for (int effort : kEfforts) {
        const std::string how = what(s, "RGB", effort, depth);
        // A full run first: rows never go back, and end with the height.
        Stopper all;
        tzf_progress progress{stopper_row, &all};
        tzf_encode_options o = options_for(effort, depth);
        o.progress = &progress;
        ASSERT_EQ(encode(laid.image, o, scratch).status, TZF_OK) << how;
        ASSERT_FALSE(all.rows.empty()) << how;
        EXPECT_TRUE(std::is_sorted(all.rows.begin(), all.rows.end())) << how;
        EXPECT_EQ(all.rows.back(), s.expected.height) << how;
        EXPECT_EQ(all.height_seen, s.expected.height) << how;
        const uint32_t calls = static_cast<uint32_t>(all.rows.size());
        for (uint32_t stop_at : {1u, (calls + 1) / 2, calls}) {
          Stopper stopper;
          stopper.stop_at = stop_at;
          progress.user = &stopper;
          EXPECT_EQ(encode(laid.image, o, scratch).status, TZF_ERROR_CANCELLED)
              << how << ", stopped at call " << stop_at << " of " << calls;
          EXPECT_EQ(stopper.rows.size(), stop_at) << how << ": called after the stop";
        }
      }
    }
  }
}

TEST(EncodeCorpus, BadArgumentsGiveTheirStatus) {
  const Source* indexed = nullptr;
  for (const Source& s : sources()) {
    if (s.input.colour_type == 3 && s.input.palette.size() / 3 >= 2 && s.expected.width >= 2)
      indexed = &s;
  }
  ASSERT_NE(indexed, nullptr);
  Laid index_laid, rgb_laid;
  lay_out(*indexed, Layout::kIndex, Rows::kTight, index_laid);
  lay_out(*indexed, Layout::kRgb, Rows::kTight, rgb_laid);
  const uint8_t top_index =
      *std::max_element(indexed->input.indices.begin(), indexed->input.indices.end());
  ASSERT_GE(top_index, 1) << indexed->name;
  const uint8_t one_colour[1][3] = {{1, 2, 3}};

  struct Case {
    const char* what;
    bool index;  // starts from the INDEX rows, else the RGB rows
    void (*change)(tzf_image& image, tzf_encode_options& options, uint8_t top,
                   const uint8_t (*one)[3]);
    int size_status;    // tzf_encode_size
    int encode_status;  // tzf_encode, with buffers of the sizes asked for
  };
  const Case cases[] = {
      {"as laid out", false, [](tzf_image&, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {},
       TZF_OK, TZF_OK},
      {"INDEX as laid out", true,
       [](tzf_image&, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {}, TZF_OK, TZF_OK},
      {"null pixels", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.pixels = nullptr; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"format 0", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.format = 0; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"format 5", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.format = 5; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"stride a byte short", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {
         i.stride = i.width * 3 - 1;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"negative stride a byte short", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {
         i.stride = -static_cast<ptrdiff_t>(i.width * 3 - 1);
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"RGB rows read as RGBA", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {
         i.format = TZF_FORMAT_RGBA;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"palette_size 0", true,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.palette_size = 0; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"palette_size 257", true,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {
         i.palette_size = 257;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"null palette", true,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.palette = nullptr; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"an index past palette_size", true,
       [](tzf_image& i, tzf_encode_options&, uint8_t top, const uint8_t(*)[3]) {
         i.palette_size = top;
       },
       TZF_OK, TZF_ERROR_BAD_ARGUMENT},
      {"INDEX at 24 bits, an index past palette_size", true,
       [](tzf_image& i, tzf_encode_options& o, uint8_t top, const uint8_t(*)[3]) {
         i.palette_size = top;
         o.bits_per_pixel = TZF_DEPTH_24;
       },
       TZF_OK, TZF_ERROR_BAD_ARGUMENT},
      {"width 0", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.width = 0; },
       TZF_ERROR_BAD_SIZE, TZF_ERROR_BAD_SIZE},
      {"height 0", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) { i.height = 0; },
       TZF_ERROR_BAD_SIZE, TZF_ERROR_BAD_SIZE},
      {"width 2^20 + 1", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {
         i.width = (1u << 20) + 1;
         i.height = 1;
         i.stride = static_cast<ptrdiff_t>(i.width) * 3;
       },
       TZF_ERROR_TOO_LARGE, TZF_ERROR_TOO_LARGE},
      {"height 2^20 + 1", false,
       [](tzf_image& i, tzf_encode_options&, uint8_t, const uint8_t(*)[3]) {
         i.width = 1;
         i.height = (1u << 20) + 1;
       },
       TZF_ERROR_TOO_LARGE, TZF_ERROR_TOO_LARGE},
      {"effort 2", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*)[3]) { o.effort = 2; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"16 bits", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*)[3]) {
         o.bits_per_pixel = 16;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"dither 3", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*)[3]) { o.dither = 3; },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"background without its mark", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*)[3]) {
         o.background = 0x2FFFFFFu;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"a fixed palette of 257", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*one)[3]) {
         o.palette = one;
         o.palette_size = 257;
         o.bits_per_pixel = TZF_DEPTH_8;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"a fixed palette_size without its palette", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*)[3]) {
         o.palette_size = 1;
         o.bits_per_pixel = TZF_DEPTH_8;
       },
       TZF_ERROR_BAD_ARGUMENT, TZF_ERROR_BAD_ARGUMENT},
      {"a fixed palette of one colour", false,
       [](tzf_image&, tzf_encode_options& o, uint8_t, const uint8_t(*one)[3]) {
         o.palette = one;
         o.palette_size = 1;
         o.bits_per_pixel = TZF_DEPTH_8;
       },
       TZF_OK, TZF_OK},
  };
  Scratch scratch;
  for (const Case& c : cases) {
    tzf_image image = c.index ? index_laid.image : rgb_laid.image;
    tzf_encode_options options = options_for(TZF_EFFORT_FAST, TZF_DEPTH_AUTO);
    c.change(image, options, top_index, one_colour);
    size_t max_file = 0, work = 0;
    EXPECT_EQ(tzf_encode_size(&image, &options, &max_file, &work), c.size_status) << c.what;
    if (c.size_status == TZF_OK) {
      EXPECT_EQ(encode(image, options, scratch).status, c.encode_status) << c.what;
    } else {
      // The sizes of the unchanged image: the arguments alone are refused.
      const tzf_image& good = c.index ? index_laid.image : rgb_laid.image;
      ASSERT_EQ(tzf_encode_size(&good, nullptr, &max_file, &work), TZF_OK) << c.what;
      std::vector<uint8_t> work_buffer(work), out(max_file);
      EXPECT_EQ(tzf_encode(&image, &options, work_buffer.data(), work_buffer.size(), out.data(),
                           out.size(), nullptr),
                c.encode_status)
          << c.what;
    }
  }

  // Null records and buffers.
  const tzf_image& good = rgb_laid.image;
  size_t max_file = 0, work = 0;
  EXPECT_EQ(tzf_encode_size(nullptr, nullptr, &max_file, &work), TZF_ERROR_BAD_ARGUMENT);
  ASSERT_EQ(tzf_encode_size(&good, nullptr, &max_file, &work), TZF_OK);
  EXPECT_EQ(tzf_encode_size(&good, nullptr, nullptr, nullptr), TZF_OK);
  std::vector<uint8_t> work_buffer(work), out(max_file);
  EXPECT_EQ(tzf_encode(nullptr, nullptr, work_buffer.data(), work, out.data(), max_file, nullptr),
            TZF_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(tzf_encode(&good, nullptr, work_buffer.data(), work, nullptr, max_file, nullptr),
            TZF_ERROR_BAD_ARGUMENT);
  if (work != 0) {
    EXPECT_EQ(tzf_encode(&good, nullptr, nullptr, work, out.data(), max_file, nullptr),
              TZF_ERROR_BAD_ARGUMENT);
  }
  EXPECT_EQ(tzf_encode(&good, nullptr, work_buffer.data(), work, out.data(), max_file, nullptr),
            TZF_OK);
}

}  // namespace
