// Colour choice and mapping for 8-bit files, on the work buffer the encoder
// sizes for them (exactly that many bytes, at an odd address):
// - without diffusion, a pixel near one entry of a table whose entries lie
//   far apart maps to that entry, whatever the table's size and order, with
//   repeated entries, through the search's and the cache's every path;
// - with diffusion, a flat area between two entries averages to its colour;
// - a picture of few colours gets exactly those colours; one of many, a full
//   table whose every entry some pixel uses, below and above the size where
//   the colours' count moves from a hash to a full histogram;
// - a small picture needs little work;
// - a progress answer of false stops both, and reports never go back.
#include "codec/quantise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

// Work bytes as the encoder sizes them, starting one byte past an aligned
// address.
struct Work {
  explicit Work(uint32_t width, uint32_t height)
      : bytes(quantise_work_bytes(width, height)), storage(bytes + 1) {}
  void* at() { return storage.data() + 1; }
  uint64_t bytes;
  std::vector<uint8_t> storage;
};

uint32_t key_of(const uint8_t* c) { return uint32_t{c[0]} << 16 | c[1] << 8 | c[2]; }

const QuantiseProgress kNoProgress{nullptr, nullptr};

struct NearestCase {
  uint32_t entries;
  bool repeats;  // each colour in two entries
  uint32_t width, height;
};

class NearestTest : public ::testing::TestWithParam<NearestCase> {};

// Entries on a lattice of 17 levels' spacing; pixels up to 3 levels away
// from one in each channel are nearest to it by any weighing of the
// channels within a factor of 4.
TEST_P(NearestTest, MapsToTheEntryNearby) {
  const NearestCase c = GetParam();
  std::mt19937 rng(c.entries * 31 + c.width);
  std::vector<uint32_t> lattice(16 * 16 * 16);
  for (uint32_t i = 0; i < lattice.size(); ++i) lattice[i] = i;
  std::shuffle(lattice.begin(), lattice.end(), rng);
  std::vector<uint8_t> table(size_t{c.entries} * 3);
  const uint32_t distinct = c.repeats ? (c.entries + 1) / 2 : c.entries;
  for (uint32_t i = 0; i < c.entries; ++i) {
    const uint32_t p = lattice[i % distinct];
    table[i * 3] = static_cast<uint8_t>((p >> 8) * 17);
    table[i * 3 + 1] = static_cast<uint8_t>((p >> 4 & 15) * 17);
    table[i * 3 + 2] = static_cast<uint8_t>((p & 15) * 17);
  }
  std::vector<uint32_t> keys(size_t{c.width} * c.height), want(keys.size());
  std::uniform_int_distribution<int> pick(0, static_cast<int>(c.entries) - 1), jitter(-3, 3);
  for (size_t i = 0; i < keys.size(); ++i) {
    const int e = pick(rng);
    uint32_t k = 0;
    for (int a = 0; a < 3; ++a) {
      const int v = std::clamp(table[e * 3 + a] + jitter(rng), 0, 255);
      k = k << 8 | static_cast<uint32_t>(v);
    }
    keys[i] = k;
    want[i] = key_of(&table[e * 3]);
  }
  Work work(c.width, c.height);
  std::vector<uint8_t> indices(keys.size(), 0xEE);
  ASSERT_TRUE(remap_pixels(keys.data(), c.width, c.height,
                           reinterpret_cast<const uint8_t(*)[3]>(table.data()), c.entries, false,
                           indices.data(), work.at(), work.bytes, kNoProgress));
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_LT(indices[i], c.entries) << "pixel " << i;
    ASSERT_EQ(key_of(&table[indices[i] * 3]), want[i]) << "pixel " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, NearestTest,
    ::testing::Values(NearestCase{1, false, 7, 5}, NearestCase{2, false, 64, 3},
                      NearestCase{3, true, 5, 9}, NearestCase{17, false, 33, 31},
                      NearestCase{100, true, 101, 7}, NearestCase{255, false, 300, 200},
                      NearestCase{256, false, 1, 4000}, NearestCase{256, true, 513, 129}));

// A flat area of grey between black and white, and of a colour among the
// corners of the cube: error diffusion keeps its mean, away from the edges
// (where it starts, and where error leaves the picture).
TEST(Diffusion, FlatAreaAveragesToItsColour) {
  const uint8_t two[2][3] = {{0, 0, 0}, {255, 255, 255}};
  uint8_t corners[8][3];
  for (int i = 0; i < 8; ++i) {
    for (int a = 0; a < 3; ++a) corners[i][a] = (i >> a & 1) ? 255 : 0;
  }
  struct Flat {
    const uint8_t (*table)[3];
    uint32_t size;
    uint32_t colour;
  };
  const Flat flats[] = {{two, 2, 0x404040}, {two, 2, 0x7F7F7F},     {two, 2, 0xF0F0F0},
                        {two, 2, 0x101010}, {corners, 8, 0x2080C0}, {corners, 8, 0xE01F33}};
  const uint32_t w = 397, h = 211, edge = 8;
  Work work(w, h);
  for (const Flat& f : flats) {
    std::vector<uint32_t> keys(w * h, f.colour);
    std::vector<uint8_t> indices(keys.size());
    ASSERT_TRUE(remap_pixels(keys.data(), w, h, f.table, f.size, true, indices.data(), work.at(),
                             work.bytes, kNoProgress));
    for (int a = 0; a < 3; ++a) {
      double sum = 0, n = 0;
      for (uint32_t y = edge; y < h - edge; ++y) {
        for (uint32_t x = edge; x < w - edge; ++x, ++n) sum += f.table[indices[y * w + x]][a];
      }
      const double want = (f.colour >> (16 - 8 * a)) & 255;
      EXPECT_NEAR(sum / n, want, 0.5) << std::hex << f.colour << " channel " << a;
    }
  }
}

// Colours in different cells of any coarse histogram, so that every one of
// them is seen apart.
std::vector<uint32_t> spread_colours(uint32_t count, std::mt19937& rng) {
  std::vector<uint32_t> cells(8 * 8 * 8);
  for (uint32_t i = 0; i < cells.size(); ++i) cells[i] = i;
  std::shuffle(cells.begin(), cells.end(), rng);
  std::vector<uint32_t> colours;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t c = cells[i];
    colours.push_back(((c >> 6) * 32 + 5) << 16 | ((c >> 3 & 7) * 32 + 9) << 8 |
                      ((c & 7) * 32 + 17));
  }
  return colours;
}

TEST(ChoosePalette, FewColoursKeptExactly) {
  for (uint32_t count : {1u, 2u, 5u, 77u, 256u}) {
    std::mt19937 rng(count);
    const std::vector<uint32_t> colours = spread_colours(count, rng);
    const uint32_t w = 53, h = 41;
    std::vector<uint32_t> keys(w * h);
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = colours[i % count];
    Work work(w, h);
    uint8_t palette[256][3];
    const uint32_t n =
        choose_palette(keys.data(), w, h, palette, work.at(), work.bytes, kNoProgress);
    ASSERT_EQ(n, count);
    std::set<uint32_t> got;
    for (uint32_t i = 0; i < n; ++i) got.insert(key_of(palette[i]));
    EXPECT_EQ(got, std::set<uint32_t>(colours.begin(), colours.end())) << count << " colours";
  }
}

// Sizes on both sides of the switch from a hash of the cells in use to a
// histogram of every cell.
class ManyColours : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(ManyColours, FillTheTable) {
  const auto [w, h] = GetParam();
  std::vector<uint32_t> keys(size_t{w} * h);
  std::mt19937 rng(5);
  // A smooth gradient with noise, like a photograph's sky.
  std::uniform_int_distribution<int> noise(-6, 6);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const int r = std::clamp(static_cast<int>(x * 255 / w) + noise(rng), 0, 255);
      const int g = std::clamp(static_cast<int>(y * 255 / h) + noise(rng), 0, 255);
      const int b = std::clamp(200 - static_cast<int>(x * 100 / w) + noise(rng), 0, 255);
      keys[y * w + x] = static_cast<uint32_t>(r << 16 | g << 8 | b);
    }
  }
  Work work(w, h);
  uint8_t palette[256][3];
  const uint32_t n = choose_palette(keys.data(), w, h, palette, work.at(), work.bytes, kNoProgress);
  ASSERT_EQ(n, 256u);
  for (const bool dither : {false, true}) {
    std::vector<uint8_t> indices(keys.size());
    ASSERT_TRUE(remap_pixels(keys.data(), w, h, palette, n, dither, indices.data(), work.at(),
                             work.bytes, kNoProgress));
    std::set<uint8_t> used(indices.begin(), indices.end());
    EXPECT_GT(used.size(), 240u) << (dither ? "diffusion" : "nearest");
    // Nearest colours stay close: the table covers the picture.
    if (!dither) {
      uint64_t se = 0;
      for (size_t i = 0; i < keys.size(); ++i) {
        for (int a = 0; a < 3; ++a) {
          const int d = static_cast<int>(keys[i] >> (16 - 8 * a) & 255) - palette[indices[i]][a];
          se += static_cast<uint64_t>(d * d);
        }
      }
      EXPECT_LT(static_cast<double>(se) / (3.0 * static_cast<double>(keys.size())), 40.0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ManyColours,
                         ::testing::Values(std::pair{211u, 97u}, std::pair{256u, 256u},
                                           std::pair{257u, 256u}, std::pair{411u, 197u}));

TEST(ChoosePalette, SmallPicturesNeedLittleWork) {
  // The mapping's cache and table, and a few bytes a pixel.
  EXPECT_LT(quantise_work_bytes(64, 64), uint64_t{512} * 1024);
  EXPECT_LT(quantise_work_bytes(256, 256), quantise_work_bytes(1024, 1024));
}

struct Stopper {
  uint32_t calls = 0, stop_at = 0, last = 0, total = 0;
  bool backwards = false;
  static bool report(void* user, uint32_t done, uint32_t total) {
    Stopper& s = *static_cast<Stopper*>(user);
    if (done < s.last || done > total || (s.total != 0 && total != s.total)) s.backwards = true;
    s.last = done;
    s.total = total;
    return ++s.calls < s.stop_at;
  }
};

TEST(Progress, FalseStopsAndReportsGoForward) {
  const uint32_t w = 64, h = 300;
  std::vector<uint32_t> keys(w * h);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = static_cast<uint32_t>(i * 2654435761u) >> 8;
  Work work(w, h);
  uint8_t palette[256][3];
  // Every call answered true: count them, check their order.
  Stopper all{0, UINT32_MAX};
  const QuantiseProgress p{Stopper::report, &all};
  const uint32_t n = choose_palette(keys.data(), w, h, palette, work.at(), work.bytes, p);
  ASSERT_EQ(n, 256u);
  std::vector<uint8_t> indices(keys.size());
  ASSERT_TRUE(
      remap_pixels(keys.data(), w, h, palette, n, true, indices.data(), work.at(), work.bytes, p));
  EXPECT_FALSE(all.backwards);
  EXPECT_EQ(all.last, all.total);
  // Stopped at each call in turn.
  for (uint32_t stop = 1; stop <= all.calls; stop += 3) {
    Stopper s{0, stop};
    const QuantiseProgress q{Stopper::report, &s};
    const uint32_t chosen = choose_palette(keys.data(), w, h, palette, work.at(), work.bytes, q);
    if (chosen == 0) continue;
    EXPECT_FALSE(remap_pixels(keys.data(), w, h, palette, chosen, true, indices.data(), work.at(),
                              work.bytes, q))
        << "stop at call " << stop;
  }
}

}  // namespace
