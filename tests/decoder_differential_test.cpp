// The decoder against the oracle (tests/oracle_decoder.h): through GetPicture
// from memory and from a file, and through tzf_decode in every layout, all
// must give the same pixels, status and progress calls as the oracle on
// random streams of every shape, on every command byte near the row ends,
// and on pictures made by the encoder.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "plugin/status_codes.h"
#include "tests/oracle_decoder.h"
#include "tests/picture_decode.h"
#include "tests/test_pictures.h"
#include "tzf/tzf.h"

#if HAVE_TZF_ENCODER
#include "encoder/tzf_encoder.h"
#endif
#if HAVE_TZF_IMAGEIO
#include <filesystem>

#include "imageio/tzf_imageio.h"
#endif

namespace {

// Wine starts every file operation slowly: fewer cases there.
#if defined(_WIN32)
constexpr int kRandomCases = 700;
constexpr int kFileEvery = 4;
#else
constexpr int kRandomCases = 5000;
constexpr int kFileEvery = 1;
#endif

using Calls = std::vector<std::pair<int32_t, int32_t>>;

struct ProgressRecord {
  Calls calls;
  int32_t cancel_at = -1;  // index of the call answered with "stop"
};

int32_t TZF_CALL record_progress(int32_t done, int32_t total, intptr_t data) {
  ProgressRecord* record = reinterpret_cast<ProgressRecord*>(data);
  record->calls.emplace_back(done, total);
  return static_cast<int32_t>(record->calls.size()) - 1 == record->cancel_at ? 1 : 0;
}

struct Outcome {
  Decoded blocks;
  Calls calls;
};

enum class Source { kMemory, kFile, kOracle };

Outcome run(Source source, const Bytes& file, int32_t cancel_at) {
  ProgressRecord record;
  record.cancel_at = cancel_at;
  const intptr_t data = reinterpret_cast<intptr_t>(&record);
  Outcome outcome;
  if (source == Source::kOracle) {
    outcome.blocks = oracle_get_picture(file, record_progress, data);
  } else if (source == Source::kMemory) {
    outcome.blocks = decode_memory(file, record_progress, data);
  } else {
    // The picture 5 bytes into the file.
    Bytes contents(file.size() + 5, 0xA5);
    std::copy(file.begin(), file.end(), contents.begin() + 5);
    TempFile temp(contents);
    TzfLocalHandle info = nullptr;
    TzfLocalHandle pixels = nullptr;
    int32_t status = GetPicture(temp.path.c_str(), 5, 0, &info, &pixels, record_progress, data);
    outcome.blocks = take_blocks(status, info, pixels, file);
  }
  outcome.calls = std::move(record.calls);
  return outcome;
}

// Index of the first differing byte, for the failure message.
std::string first_difference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size())
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k] != b[k]) {
      return "byte " + std::to_string(k) + ": " + std::to_string(a[k]) + " instead of " +
             std::to_string(b[k]);
    }
  }
  return "none";
}

// How tzf_decode is asked to lay the rows out: top row first or last in
// memory, bytes added to the tightest stride, the format.
struct CodecLayout {
  bool top_down;
  size_t gap;
  int format;
};
constexpr CodecLayout kCodecLayouts[] = {
    {true, 0, TZF_FORMAT_NATIVE},  {false, 0, TZF_FORMAT_NATIVE}, {true, 7, TZF_FORMAT_NATIVE},
    {false, 3, TZF_FORMAT_NATIVE}, {true, 0, TZF_FORMAT_RGB},     {true, 5, TZF_FORMAT_RGBA},
    {false, 0, TZF_FORMAT_RGBA},   {false, 2, TZF_FORMAT_RGB}};

int record_codec_progress(void* user, uint32_t done, uint32_t total) {
  return record_progress(static_cast<int32_t>(done), static_cast<int32_t>(total),
                         reinterpret_cast<intptr_t>(user));
}

// The oracle's pixels as rows of `format`, top row first, no pad.
Bytes expected_rows(const Bytes& file, int format) {
  const OracleHeader h = oracle_header(file.data(), file.size());
  const Bytes packed = oracle_packed_pixels(file.data(), file.size());
  const size_t width = static_cast<size_t>(h.width);
  const size_t out_bpp = format == TZF_FORMAT_RGBA  ? 4
                         : format == TZF_FORMAT_RGB ? 3
                                                    : h.bytes_per_pixel;
  Bytes rows;
  rows.reserve(width * static_cast<size_t>(h.height) * out_bpp);
  for (int32_t y = 0; y < h.height; ++y) {
    const uint8_t* row =
        packed.data() + static_cast<size_t>(h.height - 1 - y) * width * h.bytes_per_pixel;
    for (size_t x = 0; x < width; ++x) {
      const uint8_t* p = row + x * h.bytes_per_pixel;
      if (format == TZF_FORMAT_NATIVE) {
        rows.insert(rows.end(), p, p + h.bytes_per_pixel);
        continue;
      }
      uint8_t rgb[3];
      if (h.bytes_per_pixel == 1) {
        for (int c = 0; c < 3; ++c) {
          const size_t at = 64 + 4u * p[0] + 2 - c;
          rgb[c] = at < file.size() ? file[at] : 0;
        }
      } else {
        rgb[0] = p[2];
        rgb[1] = p[1];
        rgb[2] = p[0];
      }
      rows.insert(rows.end(), rgb, rgb + 3);
      if (format == TZF_FORMAT_RGBA) rows.push_back(255);
    }
  }
  return rows;
}

// tzf_decode into a buffer of exactly the rows' extent between guard bytes;
// checks that the guards stay and the gaps between rows are zero, and
// compares pixels, status and progress calls with the oracle's.
bool codec_same_as_oracle(const Bytes& file, int32_t cancel_at, const CodecLayout& layout,
                          const Outcome& expected, const std::string& what) {
  if (expected.blocks.status != 0 && expected.blocks.status != 1 && expected.blocks.status != 2) {
    return true;  // too large for a pixel block, which is no limit of the library
  }
  const std::string name = what + " (tzf_decode, " + (layout.top_down ? "top-down" : "bottom-up") +
                           ", gap " + std::to_string(layout.gap) + ", format " +
                           std::to_string(layout.format) + ")";
  tzf_info info;
  const int read = tzf_read_info(file.data(), file.size(), &info);
  if (expected.blocks.status == 2) {
    EXPECT_EQ(read, TZF_ERROR_BAD_SIZE) << name;
    return read == TZF_ERROR_BAD_SIZE;
  }
  EXPECT_EQ(read, TZF_OK) << name;
  size_t row = 0;
  EXPECT_EQ(tzf_output_size(&info, layout.format, &row, nullptr), TZF_OK) << name;
  if (read != TZF_OK || row == 0) return false;
  constexpr size_t kGuard = 32;
  const size_t distance = row + layout.gap;
  const size_t extent = (info.height - 1) * distance + row;
  Bytes buffer(extent + 2 * kGuard, 0xC3);
  uint8_t* first = buffer.data() + kGuard;
  uint8_t* top = layout.top_down ? first : first + (info.height - 1) * distance;
  const ptrdiff_t stride =
      layout.top_down ? static_cast<ptrdiff_t>(distance) : -static_cast<ptrdiff_t>(distance);
  ProgressRecord record;
  record.cancel_at = cancel_at;
  const tzf_progress progress{record_codec_progress, &record};
  const int status = tzf_decode(file.data(), file.size(), layout.format, top, stride, &progress);
  const int wanted = expected.blocks.status == 1 ? TZF_ERROR_CANCELLED : TZF_OK;
  EXPECT_EQ(status, wanted) << name;
  EXPECT_TRUE(record.calls == expected.calls)
      << name << ": " << record.calls.size() << " progress calls instead of "
      << expected.calls.size();
  bool guards = true;
  for (size_t k = 0; k < kGuard; ++k) {
    guards = guards && buffer[k] == 0xC3 && buffer[kGuard + extent + k] == 0xC3;
  }
  EXPECT_TRUE(guards) << name << ": bytes outside the rows were written";
  bool same = status == wanted && record.calls == expected.calls && guards;
  if (status != TZF_OK || wanted != TZF_OK) return same;
  Bytes rows;
  bool gaps_zero = true;
  for (uint32_t y = 0; y < info.height; ++y) {
    const uint8_t* r = top + static_cast<ptrdiff_t>(y) * stride;
    rows.insert(rows.end(), r, r + row);
    const bool last_in_memory = layout.top_down ? y + 1 == info.height : y == 0;
    for (size_t k = 0; k < layout.gap && !last_in_memory; ++k)
      gaps_zero = gaps_zero && r[row + k] == 0;
  }
  const Bytes want = expected_rows(file, layout.format);
  EXPECT_TRUE(gaps_zero) << name << ": a gap between rows is not zero";
  EXPECT_TRUE(rows == want) << name << ": pixels differ at " << first_difference(rows, want);
  return same && gaps_zero && rows == want;
}

// Decodes `file` both ways (and from a file when asked), and through
// tzf_decode in one of its layouts, and compares with the oracle. Returns
// false on the first difference.
bool same_as_oracle(const Bytes& file, int32_t cancel_at, bool from_file, const std::string& what) {
  const Outcome expected = run(Source::kOracle, file, cancel_at);
  const CodecLayout& layout = kCodecLayouts[std::hash<std::string>()(what) %
                                            (sizeof kCodecLayouts / sizeof kCodecLayouts[0])];
  bool same = codec_same_as_oracle(file, cancel_at, layout, expected, what);
  for (Source source : {Source::kMemory, Source::kFile}) {
    if (source == Source::kFile && !from_file) continue;
    const char* name = source == Source::kMemory ? "memory" : "file";
    const Outcome got = run(source, file, cancel_at);
    EXPECT_EQ(got.blocks.status, expected.blocks.status) << what << " (" << name << ")";
    EXPECT_EQ(got.blocks.info_null, expected.blocks.info_null) << what << " (" << name << ")";
    EXPECT_EQ(got.blocks.pixels_null, expected.blocks.pixels_null) << what << " (" << name << ")";
    EXPECT_TRUE(got.blocks.info == expected.blocks.info)
        << what << " (" << name << "): info block differs at "
        << first_difference(got.blocks.info, expected.blocks.info);
    EXPECT_TRUE(got.blocks.pixels == expected.blocks.pixels)
        << what << " (" << name << "): pixel block differs at "
        << first_difference(got.blocks.pixels, expected.blocks.pixels);
    EXPECT_TRUE(got.calls == expected.calls)
        << what << " (" << name << "): " << got.calls.size() << " progress calls instead of "
        << expected.calls.size();
    same = same && got.blocks.status == expected.blocks.status &&
           got.blocks.pixels == expected.blocks.pixels && got.blocks.info == expected.blocks.info &&
           got.calls == expected.calls;
  }
  return same;
}

// Flag bytes whose bits are 1 with probability `runs`.
Bytes random_flags(std::mt19937& rng, size_t count, double runs) {
  std::bernoulli_distribution bit(runs);
  Bytes flags(count);
  for (uint8_t& byte : flags) {
    for (int k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | (bit(rng) ? 1 : 0));
  }
  return flags;
}

// Widths at and around the sizes where the decoder changes its ways: row
// pad, runs longer than a row, sources trailing by less than a run.
constexpr int32_t kEdgeWidths[] = {1,  2,  3,    4,    5,    6,    7,    8,   12, 16,
                                   17, 18, 19,   20,   21,   22,   23,   24,  25, 63,
                                   64, 65, 1023, 1024, 1366, 2047, 2048, 2100};

struct RandomCase {
  PictureParts parts;
  size_t keep = SIZE_MAX;  // bytes of the file kept
  int32_t cancel_at = -1;
  std::string text;
};

RandomCase make_random_case(std::mt19937& rng, int index) {
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  RandomCase c;
  PictureParts& s = c.parts;
  s.bits_per_pixel = pick(2) == 0 ? 8 : 24;
  switch (pick(4)) {
    case 0:
      s.width = 1 + static_cast<int32_t>(pick(24));
      break;
    case 1:
      s.width = 25 + static_cast<int32_t>(pick(276));
      break;
    case 2:
      s.width = 301 + static_cast<int32_t>(pick(1800));
      break;
    default:
      s.width = kEdgeWidths[pick(sizeof(kEdgeWidths) / sizeof(kEdgeWidths[0]))];
      break;
  }
  const uint32_t max_rows = std::clamp<uint32_t>(30000u / static_cast<uint32_t>(s.width), 1, 40);
  s.height = 1 + static_cast<int32_t>(pick(max_rows));
  const size_t pixels = static_cast<size_t>(s.width) * s.height;
  const size_t bpp = static_cast<size_t>(s.bits_per_pixel / 8);

  // Flags: from all literals to all runs; cut short or longer than needed.
  static constexpr double kRunShare[] = {0.0, 0.02, 0.2, 0.5, 0.8, 0.97, 1.0};
  const double runs = kRunShare[pick(7)];
  const size_t flags_needed = (pixels + 7) / 8;
  size_t flag_count = flags_needed + pick(16);
  if (pick(4) == 0) flag_count = pick(static_cast<uint32_t>(flags_needed) + 1);
  s.flags = random_flags(rng, flag_count, runs);

  // Commands: any byte, one displacement with any length, or one byte.
  const size_t commands_needed = (pixels + 2) / 3;
  size_t command_count = commands_needed + pick(16);
  if (pick(4) == 0) command_count = pick(static_cast<uint32_t>(commands_needed) + 1);
  const uint32_t command_mode = pick(3);
  const uint8_t entry = static_cast<uint8_t>(pick(16) << 4);
  const uint8_t only = static_cast<uint8_t>(pick(256));
  s.commands.resize(command_count);
  for (uint8_t& b : s.commands) {
    const uint8_t any = static_cast<uint8_t>(rng());
    b = command_mode == 0   ? any
        : command_mode == 1 ? static_cast<uint8_t>(entry | (any & 15))
                            : only;
  }

  // Literals: enough, more, cut anywhere, or few beside the pixels (as in
  // pictures made mostly of runs).
  size_t literal_count = pixels * bpp + pick(8);
  const uint32_t literal_mode = pick(6);
  if (literal_mode < 2) literal_count = pick(static_cast<uint32_t>(pixels * bpp) + 1);
  if (literal_mode == 2) literal_count = pixels * bpp / 16 + pick(8);
  s.literals = random_bytes(literal_count, static_cast<uint32_t>(index) * 7919u + 1u);

  // Declared lengths other than the true ones move the later streams.
  if (pick(8) == 0) {
    s.override_lengths = true;
    s.flag_length = static_cast<uint32_t>(std::max<int64_t>(
        0, static_cast<int64_t>(flag_count) + static_cast<int64_t>(pick(64)) - 32));
    s.command_length = static_cast<uint32_t>(std::max<int64_t>(
        0, static_cast<int64_t>(command_count) + static_cast<int64_t>(pick(64)) - 32));
  }
  const size_t head = s.bits_per_pixel == 8 ? 1088 : 64;
  const size_t streams = s.flags.size() + s.commands.size() + s.literals.size();
  if (pick(6) == 0) c.keep = head + pick(static_cast<uint32_t>(streams) + 1);
  if (pick(5) == 0) c.cancel_at = static_cast<int32_t>(pick(static_cast<uint32_t>(s.height) + 1));

  c.text = "case " + std::to_string(index) + ": " + std::to_string(s.width) + "x" +
           std::to_string(s.height) + "x" + std::to_string(s.bits_per_pixel) + ", runs " +
           std::to_string(runs) + ", flags " + std::to_string(flag_count) + ", commands " +
           std::to_string(command_count) + " mode " + std::to_string(command_mode) + ", literals " +
           std::to_string(literal_count) + ", keep " +
           (c.keep == SIZE_MAX ? std::string("all") : std::to_string(c.keep)) + ", cancel " +
           std::to_string(c.cancel_at);
  return c;
}

TEST(DecoderDifferential, RandomStreamsOfEveryShape) {
  std::mt19937 rng(20240611u);
  int failures = 0;
  for (int index = 0; index < kRandomCases && failures < 5; ++index) {
    RandomCase c = make_random_case(rng, index);
    Bytes file = make_picture(c.parts);
    if (c.keep < file.size()) file.resize(c.keep);
    if (!same_as_oracle(file, c.cancel_at, index % kFileEvery == 0, c.text)) ++failures;
  }
}

TEST(DecoderDifferential, EveryCommandNearTheRowEnds) {
  // Each command byte repeated, between literal stretches of 0 to 3 pixels,
  // on widths where runs and their sources cross row ends.
  static constexpr int32_t kWidths[] = {1, 2, 3, 4, 5, 7, 9, 17, 18, 19, 21, 22, 23, 37, 66};
  std::mt19937 rng(77u);
  int failures = 0;
  for (int16_t bits : {int16_t{8}, int16_t{24}}) {
    for (int32_t width : kWidths) {
      for (uint32_t command = 0; command < 256 && failures < 5; ++command) {
        PictureParts s;
        s.bits_per_pixel = bits;
        s.width = width;
        s.height = std::max<int32_t>(7, 160 / width);
        const size_t pixels = static_cast<size_t>(width) * s.height;
        s.flags = random_flags(rng, (pixels + 7) / 8, 0.6);
        s.commands.assign((pixels + 2) / 3, static_cast<uint8_t>(command));
        s.literals = random_bytes(pixels * (bits / 8), command + 1000u * width);
        const std::string what = std::to_string(width) + "x" + std::to_string(s.height) + "x" +
                                 std::to_string(bits) + " command " + std::to_string(command);
        if (!same_as_oracle(make_picture(s), -1, false, what)) ++failures;
      }
    }
  }
}

TEST(DecoderDifferential, LongStretchesAndChunkSeams) {
  // Literal stretches longer than a file chunk, runs between them, and a
  // literal stream ending inside a pixel.
  struct Case {
    int16_t bits;
    int32_t width;
    int32_t height;
    double runs;
    size_t cut;  // literal bytes removed from the end
  } cases[] = {
      {24, 2100, 40, 0.0, 0},  {24, 2100, 40, 0.001, 1}, {8, 2048, 60, 0.0005, 2},
      {8, 1366, 50, 0.0, 0},   {24, 1366, 30, 0.01, 5},  {24, 641, 90, 0.0, 49152 * 2},
      {8, 4099, 30, 0.002, 7}, {24, 17, 3000, 0.001, 4},
  };
  std::mt19937 rng(5u);
  for (const Case& c : cases) {
    PictureParts s;
    s.bits_per_pixel = c.bits;
    s.width = c.width;
    s.height = c.height;
    const size_t pixels = static_cast<size_t>(c.width) * c.height;
    s.flags = random_flags(rng, (pixels + 7) / 8, c.runs);
    s.commands = random_bytes(pixels / 3 + 1, 3);
    const size_t literal_bytes = pixels * (c.bits / 8);
    s.literals = random_bytes(literal_bytes - std::min(c.cut, literal_bytes), 9);
    const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                             std::to_string(c.bits) + " cut " + std::to_string(c.cut);
    same_as_oracle(make_picture(s), -1, true, what);
    same_as_oracle(make_picture(s), c.height / 2, true, what + " cancelled");
  }
}

#if HAVE_TZF_ENCODER

namespace enc = tzf::encoder;

// Pixels in decoding order of a made-up picture with flat areas, gradients,
// repeated tiles and a little noise.
Bytes synthetic_picture(int32_t width, int32_t height, int bits, uint32_t seed) {
  const size_t bpp = static_cast<size_t>(bits / 8);
  Bytes pixels(static_cast<size_t>(width) * height * bpp);
  Bytes noise = random_bytes(pixels.size(), seed);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * bpp];
      const uint8_t* n = &noise[(static_cast<size_t>(y) * width + x) * bpp];
      for (size_t b = 0; b < bpp; ++b) {
        uint8_t v;
        if (x < width / 3) {
          v = static_cast<uint8_t>(40 * b + (y / 8) * 16);  // flat bands
        } else if (y % 16 < 8) {
          v = static_cast<uint8_t>(((x / 4) % 5) * 30 + b);  // repeated tiles
        } else if (x % 7 == 0) {
          v = n[b];  // noise
        } else {
          v = static_cast<uint8_t>((x + y) / 2 + b * 50);  // gradient
        }
        p[b] = v;
      }
    }
  }
  return pixels;
}

// Encodes, then decodes from memory and from a file: the original rows, and
// the oracle's blocks.
void expect_round_trip(const Bytes& pixels, int32_t width, int32_t height, int bits,
                       const Bytes& palette, enc::ParseMode mode, const std::string& what) {
  enc::EncoderInput input;
  input.width = width;
  input.height = height;
  input.bits_per_pixel = bits;
  input.pixels = pixels;
  input.palette = palette;
  enc::EncodeResult encoded = enc::Encode(input, mode);
  ASSERT_EQ(encoded.status, enc::EncodeStatus::kOk) << what;
  const Bytes rows = to_dib_rows(pixels, width, height, static_cast<int16_t>(bits));
  Decoded memory = decode_memory(encoded.file);
  ASSERT_EQ(memory.status, kStatusSuccess) << what;
  EXPECT_TRUE(memory.pixels == rows)
      << what << ": differs at " << first_difference(memory.pixels, rows);
  same_as_oracle(encoded.file, -1, true, what);
}

TEST(DecoderDifferential, EncodedPicturesComeBack) {
  struct Case {
    int32_t width;
    int32_t height;
    int bits;
  } cases[] = {{1, 9, 24},    {3, 40, 8},   {21, 30, 24},   {64, 48, 8},
               {333, 70, 24}, {642, 41, 8}, {1366, 24, 24}, {1024, 20, 24}};
  for (const Case& c : cases) {
    const Bytes pixels = synthetic_picture(c.width, c.height, c.bits, 31u * c.width);
    const Bytes palette = c.bits == 8 ? test_palette() : Bytes();
    for (enc::ParseMode mode : {enc::ParseMode::kOptimal, enc::ParseMode::kGreedy}) {
      expect_round_trip(pixels, c.width, c.height, c.bits, palette, mode,
                        std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                            std::to_string(c.bits) +
                            (mode == enc::ParseMode::kOptimal ? " optimal" : " greedy"));
    }
  }
}

// Rows going down may be written past their ends while they are decoded
// (the bytes are put back after the row): pictures of many long rows, made by
// the encoder and made of random streams, in every layout of tzf_decode.
TEST(DecoderDifferential, LongRowsInEveryLayout) {
  struct Case {
    int32_t width;
    int32_t height;
    int bits;
  } cases[] = {{520, 40, 8}, {700, 33, 8}, {171, 30, 24}, {1100, 24, 24}, {2100, 12, 8}};
  std::mt19937 rng(77u);
  int failures = 0;
  for (const Case& c : cases) {
    PictureParts random;
    random.bits_per_pixel = static_cast<int16_t>(c.bits);
    random.width = c.width;
    random.height = c.height;
    const size_t pixels = static_cast<size_t>(c.width) * c.height;
    random.flags = random_flags(rng, (pixels + 7) / 8, 0.6);
    random.commands = random_bytes((pixels + 2) / 3, 5u * c.width);
    random.literals = random_bytes(pixels * (c.bits / 8), 7u * c.width);
    const Bytes picture = synthetic_picture(c.width, c.height, c.bits, 3u * c.width);
    const Bytes palette = c.bits == 8 ? test_palette() : Bytes();
    enc::EncoderInput input;
    input.width = c.width;
    input.height = c.height;
    input.bits_per_pixel = c.bits;
    input.pixels = picture;
    input.palette = palette;
    const enc::EncodeResult encoded = enc::Encode(input, enc::ParseMode::kOptimal);
    ASSERT_EQ(encoded.status, enc::EncodeStatus::kOk);
    const std::pair<Bytes, const char*> files[] = {{encoded.file, "encoded"},
                                                   {make_picture(random), "random"}};
    for (const auto& [file, kind] : files) {
      const Outcome expected = run(Source::kOracle, file, -1);
      for (const CodecLayout& layout : kCodecLayouts) {
        const std::string what = std::string(kind) + " " + std::to_string(c.width) + "x" +
                                 std::to_string(c.height) + "x" + std::to_string(c.bits);
        if (!codec_same_as_oracle(file, -1, layout, expected, what) && ++failures > 3) return;
      }
    }
  }
}

#if HAVE_TZF_IMAGEIO

// A few PNG files the machine happens to have, from Debian's packages.
std::vector<std::string> png_files_on_this_machine() {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  size_t visited = 0;
  for (const char* root :
       {"/usr/share/pixmaps", "/usr/share/icons", "/usr/share/doc", "/usr/share/backgrounds",
        "/usr/share/wallpapers", "/usr/share/desktop-base"}) {
    std::error_code error;
    if (!fs::is_directory(root, error)) continue;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, error),
         end;
         it != end && visited < 50000; it.increment(error), ++visited) {
      if (error) break;
      const fs::path& path = it->path();
      if (path.extension() != ".png" || !it->is_regular_file(error)) continue;
      const uintmax_t size = it->file_size(error);
      if (!error && size >= 2000 && size <= 4000000) found.push_back(path.string());
    }
  }
  std::sort(found.begin(), found.end());
  // Spread over the list: at most six.
  std::vector<std::string> chosen;
  const size_t step = found.size() / 6 + 1;
  for (size_t k = 0; k < found.size() && chosen.size() < 6; k += step) chosen.push_back(found[k]);
  return chosen;
}

TEST(DecoderDifferential, RealPicturesComeBack) {
  namespace io = tzf::imageio;
  const std::vector<std::string> files = png_files_on_this_machine();
  if (files.empty()) GTEST_SKIP() << "no PNG files under /usr/share on this machine";
  for (const std::string& path : files) {
    Bytes data;
    std::string error;
    io::Image image;
    if (!io::LoadFileBytes(path, data, error) || !io::DecodePng(data, image, error)) continue;
    if (image.width * image.height > 2000000) continue;
    const Bytes pixels = io::ToDecodingOrder(image);
    expect_round_trip(pixels, static_cast<int32_t>(image.width), static_cast<int32_t>(image.height),
                      image.bits_per_pixel, image.palette, enc::ParseMode::kOptimal, path);
    if (image.bits_per_pixel == 24) {
      io::Image reduced = io::QuantizeToPalette(image);
      expect_round_trip(io::ToDecodingOrder(reduced), static_cast<int32_t>(reduced.width),
                        static_cast<int32_t>(reduced.height), 8, reduced.palette,
                        enc::ParseMode::kGreedy, path + " (8-bit)");
    }
  }
}

#endif  // HAVE_TZF_IMAGEIO
#endif  // HAVE_TZF_ENCODER

}  // namespace
