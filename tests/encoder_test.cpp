// Tests for the TZF encoder: every file is decoded by a small independent
// decoder below and compared with the input picture; sizes are compared with
// an exhaustive search for the smallest parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/tzf_encoder.h"

namespace {

using tzf::encoder::Encode;
using tzf::encoder::EncoderInput;
using tzf::encoder::EncodeStatus;
using tzf::encoder::ParseMode;

// Run sources (dx, dy), indexed by the high nibble of a command byte.
constexpr int kTable[16][2] = {{3, -3},  {-4, -4}, {-4, -2}, {-2, -1}, {0, -2}, {-3, -1},
                               {-1, -1}, {0, -1},  {0, -4},  {-4, 0},  {1, -1}, {0, -3},
                               {2, -1},  {-2, -2}, {-3, -3}, {-4, -1}};

struct Token {
  bool run;
  int entry;
  int length;
  bool operator==(const Token&) const = default;
};

struct Decoded {
  bool header_ok = false;
  int64_t width = 0, height = 0;
  int bpp = 0;
  std::vector<uint8_t> palette, pixels;  // pixels in decoding order
  std::vector<Token> tokens;
  uint64_t flag_bits = 0, command_bytes = 0, literal_bytes = 0;
  bool run_open_at_end = false;
};

uint32_t U32(const std::vector<uint8_t>& f, size_t at) {
  return uint32_t{f[at]} | uint32_t{f[at + 1]} << 8 | uint32_t{f[at + 2]} << 16 |
         uint32_t{f[at + 3]} << 24;
}

// Decodes a file following the format rules literally.
Decoded ReferenceDecode(const std::vector<uint8_t>& f) {
  Decoded d;
  if (f.size() < 64 || std::memcmp(f.data(), "TZF", 4) != 0 || U32(f, 4) != 3 || U32(f, 8) != 64) {
    return d;
  }
  d.width = static_cast<int32_t>(U32(f, 12));
  d.height = static_cast<int32_t>(U32(f, 16));
  d.bpp = f[24] | f[25] << 8;
  const size_t bytes = static_cast<size_t>(d.bpp / 8);
  const size_t flags = U32(f, 40), flag_len = U32(f, 48), cmd_len = U32(f, 52);
  if ((d.bpp != 8 && d.bpp != 24) || flags != (d.bpp == 8 ? 1088u : 64u) || d.width <= 0 ||
      d.height <= 0 || flags + flag_len + cmd_len > f.size()) {
    return d;
  }
  d.header_ok = true;
  if (d.bpp == 8) d.palette.assign(f.begin() + 64, f.begin() + 1088);
  const size_t cmds = flags + flag_len, lits = cmds + cmd_len;
  const int64_t n = d.width * d.height;
  d.pixels.assign(static_cast<size_t>(n) * bytes, 0);
  int64_t i = 0;
  while (i < n) {
    const uint64_t k = d.flag_bits++;
    const int bit = k / 8 < flag_len ? (f[flags + k / 8] >> (7 - k % 8)) & 1 : 0;
    if (bit == 0) {
      for (size_t b = 0; b < bytes; ++b) {
        const size_t at = lits + d.literal_bytes++;
        d.pixels[static_cast<size_t>(i) * bytes + b] = at < f.size() ? f[at] : 0;
      }
      d.tokens.push_back({false, 0, 1});
      ++i;
      continue;
    }
    const uint8_t c = d.command_bytes < cmd_len ? f[cmds + d.command_bytes] : 0;
    ++d.command_bytes;
    const int e = c >> 4, len = (c & 15) + 3;
    d.tokens.push_back({true, e, len});
    const int64_t off = kTable[e][1] * d.width + kTable[e][0];
    for (int64_t t = i; t < i + len; ++t) {
      if (t >= n) {
        d.run_open_at_end = true;
        break;
      }
      const int64_t s = t + off;
      for (size_t b = 0; b < bytes; ++b) {
        d.pixels[static_cast<size_t>(t) * bytes + b] =
            s < 0 || s >= t ? 0 : d.pixels[static_cast<size_t>(s) * bytes + b];
      }
    }
    i += len;
  }
  return d;
}

struct Picture {
  int64_t width, height;
  int bpp;
  std::vector<uint8_t> pixels, palette;
  EncoderInput Input() const { return {width, height, bpp, pixels, palette}; }
};

// Kinds of content: 0 noise, 1 two colours, 2 three colours, 3 flat,
// 4 rows repeating with a horizontal shift.
Picture MakePicture(int64_t w, int64_t h, int bpp, int kind, uint32_t seed) {
  std::mt19937 rng(seed);
  Picture p{w, h, bpp, {}, {}};
  const size_t bytes = static_cast<size_t>(bpp / 8);
  if (bpp == 8) {
    for (int v = 0; v < 1024; ++v)
      p.palette.push_back(v % 4 == 3 ? 0 : static_cast<uint8_t>(rng()));
  }
  std::vector<uint8_t> colors(3 * bytes);
  for (auto& c : colors) c = static_cast<uint8_t>(rng());
  for (int64_t i = 0; i < w * h; ++i) {
    const size_t pick = rng() % static_cast<unsigned>(kind + 1);
    for (size_t b = 0; b < bytes; ++b) {
      uint8_t v = static_cast<uint8_t>(rng());
      if (kind == 1 || kind == 2) v = colors[pick * bytes + b];
      if (kind == 3) v = colors[b];
      if (kind == 4) {
        const bool fresh = i < w || i % w == w - 1;
        v = fresh ? static_cast<uint8_t>(rng() % 3)
                  : p.pixels[static_cast<size_t>(i - w + 1) * bytes + b];
      }
      p.pixels.push_back(v);
    }
  }
  return p;
}

bool Same(const Picture& p, int64_t a, int64_t b) {
  const size_t n = static_cast<size_t>(p.bpp / 8);
  return std::equal(p.pixels.begin() + a * static_cast<int64_t>(n),
                    p.pixels.begin() + (a + 1) * static_cast<int64_t>(n),
                    p.pixels.begin() + b * static_cast<int64_t>(n));
}

// Length of the run usable at pixel i with table entry e (sources inside
// the decoded pixels only), capped at 18 and at the last pixel.
int MatchLength(const Picture& p, int64_t i, int e) {
  const int64_t n = p.width * p.height, off = kTable[e][1] * p.width + kTable[e][0];
  int len = 0;
  while (len < 18 && i + len < n && i + len + off >= 0 && off < 0 &&
         Same(p, i + len, i + len + off)) {
    ++len;
  }
  return len;
}

// Fewest bits any parse needs, by trying every entry and length at every pixel.
uint64_t MinimumBits(const Picture& p) {
  const int64_t n = p.width * p.height;
  std::vector<uint64_t> best(static_cast<size_t>(n + 1), 0);
  for (int64_t i = n - 1; i >= 0; --i) {
    uint64_t b = 1 + 8 * static_cast<uint64_t>(p.bpp / 8) + best[static_cast<size_t>(i + 1)];
    for (int e = 0; e < 16; ++e) {
      for (int len = 3; len <= MatchLength(p, i, e); ++len) {
        b = std::min(b, 9 + best[static_cast<size_t>(i + len)]);
      }
    }
    best[static_cast<size_t>(i)] = b;
  }
  return best[0];
}

std::vector<Token> GreedyTokens(const Picture& p) {
  std::vector<Token> tokens;
  for (int64_t i = 0; i < p.width * p.height;) {
    Token t{false, 0, 1};
    for (int e = 0; e < 16; ++e) {
      const int len = MatchLength(p, i, e);
      if (len >= 3 && len > t.length) t = {true, e, len};
    }
    tokens.push_back(t);
    i += t.length;
  }
  return tokens;
}

// Decodes the file and checks it reproduces the picture with consistent
// stream lengths; returns the decode for further checks.
Decoded CheckRoundTrip(const Picture& p, const std::vector<uint8_t>& file) {
  Decoded d = ReferenceDecode(file);
  EXPECT_TRUE(d.header_ok);
  EXPECT_EQ(d.width, p.width);
  EXPECT_EQ(d.height, p.height);
  EXPECT_EQ(d.bpp, p.bpp);
  EXPECT_EQ(d.palette, p.palette);
  EXPECT_EQ(d.pixels, p.pixels);
  EXPECT_FALSE(d.run_open_at_end);
  const size_t flags = p.bpp == 8 ? 1088 : 64;
  EXPECT_EQ(U32(file, 48), (d.flag_bits + 7) / 8);
  EXPECT_EQ(U32(file, 52), d.command_bytes);
  EXPECT_EQ(file.size(), flags + U32(file, 48) + U32(file, 52) + d.literal_bytes);
  if (d.flag_bits % 8 != 0) {
    EXPECT_EQ(file[flags + d.flag_bits / 8] & (0xff >> (d.flag_bits % 8)), 0) << "padding bits";
  }
  return d;
}

TEST(EncoderTest, HeaderIsByteExact) {
  for (int bpp : {8, 24}) {
    const Picture p = MakePicture(7, 3, bpp, 0, 1);
    const auto r = Encode(p.Input());
    ASSERT_EQ(r.status, EncodeStatus::kOk);
    const std::vector<uint8_t>& f = r.file;
    const uint32_t offset = bpp == 8 ? 1088 : 64;
    // Noise has no runs: 21 literal pixels.
    const std::vector<uint8_t> expected = {'T',
                                           'Z',
                                           'F',
                                           0,
                                           3,
                                           0,
                                           0,
                                           0,
                                           64,
                                           0,
                                           0,
                                           0,
                                           7,
                                           0,
                                           0,
                                           0,
                                           3,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           static_cast<uint8_t>(bpp),
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           static_cast<uint8_t>(offset),
                                           static_cast<uint8_t>(offset >> 8),
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           3,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0};
    ASSERT_GE(f.size(), 64u);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 64), expected) << bpp;
    EXPECT_EQ(f.size(), offset + 3 + 21 * static_cast<size_t>(bpp / 8));
    CheckRoundTrip(p, f);
  }
}

TEST(EncoderTest, RoundTripsAndOptimalIsMinimal) {
  struct Case {
    int64_t w, h;
  };
  std::vector<Case> sizes;
  for (int64_t w = 1; w <= 9; ++w) {
    for (int64_t h = 1; h <= 5; ++h) sizes.push_back({w, h});
  }
  for (Case c : {Case{1, 40}, Case{40, 1}, Case{17, 4}, Case{33, 5}, Case{64, 3}})
    sizes.push_back(c);
  uint32_t seed = 10;
  for (const Case& c : sizes) {
    for (int bpp : {8, 24}) {
      for (int kind = 0; kind < 5; ++kind) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " bpp " << bpp << " kind " << kind);
        const Picture p = MakePicture(c.w, c.h, bpp, kind, ++seed);
        const auto optimal = Encode(p.Input(), ParseMode::kOptimal);
        const auto greedy = Encode(p.Input(), ParseMode::kGreedy);
        ASSERT_EQ(optimal.status, EncodeStatus::kOk);
        ASSERT_EQ(greedy.status, EncodeStatus::kOk);
        CheckRoundTrip(p, optimal.file);
        const Decoded g = CheckRoundTrip(p, greedy.file);
        EXPECT_EQ(g.tokens, GreedyTokens(p));
        const size_t base = bpp == 8 ? 1088 : 64;
        EXPECT_EQ(optimal.file.size(), base + (MinimumBits(p) + 7) / 8);
        EXPECT_LE(optimal.file.size(), greedy.file.size());
        EXPECT_EQ(optimal.stats.command_bytes, static_cast<int64_t>(U32(optimal.file, 52)));
      }
    }
  }
}

TEST(EncoderTest, FlatPictureUsesOverlappingRuns) {
  const Picture p = MakePicture(100, 5, 24, 3, 7);
  const auto r = Encode(p.Input());
  ASSERT_EQ(r.status, EncodeStatus::kOk);
  const Decoded d = CheckRoundTrip(p, r.file);
  // Four literals, then runs from four pixels back, 18 pixels each.
  EXPECT_EQ(r.stats.literal_pixels, 4);
  EXPECT_EQ(r.stats.run_count, (500 - 4 + 17) / 18);
  ASSERT_GT(d.tokens.size(), 4u);
  EXPECT_TRUE(d.tokens[4].run);
  EXPECT_EQ(d.tokens[4].length, 18);
}

TEST(EncoderTest, OptimalBeatsGreedyOnStructuredPicture) {
  // A picture whose longest matches lead the greedy parse astray.
  const Picture p = MakePicture(97, 31, 24, 4, 3);
  const auto optimal = Encode(p.Input());
  const auto greedy = Encode(p.Input(), ParseMode::kGreedy);
  CheckRoundTrip(p, optimal.file);
  CheckRoundTrip(p, greedy.file);
  EXPECT_EQ(optimal.file.size(), 64 + (MinimumBits(p) + 7) / 8);
  EXPECT_LE(optimal.file.size(), greedy.file.size());
}

TEST(EncoderTest, RejectsInvalidInput) {
  const std::vector<uint8_t> pixels(64 * 3), palette(1024);
  struct Case {
    EncoderInput input;
    EncodeStatus status;
  };
  const Case cases[] = {
      {{0, 4, 24, pixels, {}}, EncodeStatus::kInvalidDimensions},
      {{4, -1, 24, pixels, {}}, EncodeStatus::kInvalidDimensions},
      {{int64_t{1} << 21, 1, 24, pixels, {}}, EncodeStatus::kTooLarge},
      {{int64_t{1} << 20, int64_t{1} << 20, 8, pixels, palette}, EncodeStatus::kTooLarge},
      {{8, 8, 16, pixels, {}}, EncodeStatus::kUnsupportedDepth},
      {{8, 7, 24, pixels, {}}, EncodeStatus::kPixelBufferSize},
      {{8, 8, 8, {pixels.data(), 64}, {}}, EncodeStatus::kMissingPalette},
      {{8, 8, 8, {pixels.data(), 64}, palette}, EncodeStatus::kOk},
  };
  for (const Case& c : cases) {
    const auto r = Encode(c.input);
    EXPECT_EQ(r.status, c.status) << tzf::encoder::StatusMessage(c.status);
    EXPECT_EQ(r.file.empty(), c.status != EncodeStatus::kOk);
  }
}

}  // namespace
