// The fast parse three ways: sixteen pixels a compare (where the library is
// built with SSE2), one pixel at a time, and the smallest parse's backward
// pass taking the longest run at each pixel. All three must write the same
// bytes for every picture, the smallest parse never more; widths and heights
// around the sources' reach and the compare's sixteen pixels put the
// picture's ends in every place. Buffers are exactly the sizes the encoder
// asks for, and the room past the last key holds a colour that would lengthen
// a run read past it.
#include "codec/encode_parse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/sizes.h"

namespace {

enum class Kind { kFlat, kStripes, kFewColours, kNoise, kBlocks, kDiagonal };

struct Case {
  std::string name;
  Kind kind;
  uint32_t width, height;
};

// True-colour keys of a picture, in decoding order.
std::vector<uint32_t> make_keys(const Case& c) {
  std::mt19937 rng(c.width * 977 + c.height);
  std::vector<uint32_t> keys(pixel_total(c.width, c.height));
  for (uint32_t y = 0; y < c.height; ++y) {
    for (uint32_t x = 0; x < c.width; ++x) {
      uint32_t& k = keys[static_cast<size_t>(y) * c.width + x];
      switch (c.kind) {
        case Kind::kFlat:
          k = 0x336699;
          break;
        case Kind::kStripes:
          k = (x / 3 + y) % 4 * 0x010203;
          break;
        case Kind::kFewColours:
          k = rng() % 3 * 0x404040;
          break;
        case Kind::kNoise:
          k = rng() & 0xFFFFFF;
          break;
        case Kind::kBlocks:  // flat blocks with a noisy edge: long runs broken now and then
          k = (x / 7 + y / 5) % 3 * 0x202020 + (rng() % 23 == 0 ? 1 : 0);
          break;
        case Kind::kDiagonal:  // repeats only along the table's displacements
          k = (x * 5 + y * 3) % 11 * 0x0A0B0C;
          break;
      }
    }
  }
  return keys;
}

struct Parsed {
  bool finished = false;
  std::vector<uint8_t> streams;
  ParseOutput out{};
};

struct Stop {
  uint32_t at;
};

bool stop_at(void* user, uint32_t done, uint32_t /*total*/) {
  return done < static_cast<Stop*>(user)->at;
}

Parsed parse(const Case& c, const std::vector<uint32_t>& keys, bool indices, bool fast,
             FastParse how, Stop* stop = nullptr) {
  const uint64_t n = keys.size();
  const uint32_t bytes_per_pixel = indices ? 1 : 3;
  // The regions as tzf_encode lays them out, their room past the last pixel
  // filled with what would lengthen a run that read it.
  std::vector<uint32_t> key_region((encode_key_bytes(n) + 3) / 4, keys.back());
  std::memcpy(key_region.data(), keys.data(), n * 4);
  std::vector<uint8_t> index_region(encode_index_bytes(n), static_cast<uint8_t>(keys.back()));
  for (uint64_t i = 0; i < n; ++i) index_region[i] = static_cast<uint8_t>(keys[i]);
  std::vector<uint8_t> work(parse_work_bytes(n, fast && how != FastParse::kBackward));

  ParseInput in{};
  in.width = c.width;
  in.height = c.height;
  in.keys = key_region.data();
  in.indices = indices ? index_region.data() : nullptr;
  in.fast = fast;
  in.fast_parse = how;
  in.work = work.data();
  if (stop != nullptr) in.progress = QuantiseProgress{stop_at, stop};
  Parsed p;
  p.streams.assign(consumable_flag_bytes(n) + n * bytes_per_pixel, 0xEE);
  p.finished = parse_and_write(in, p.streams.data(), p.out);
  if (p.finished) {
    p.streams.resize(p.out.flag_bytes + p.out.command_bytes + p.out.literal_bytes);
  }
  return p;
}

class FastParseTest : public ::testing::TestWithParam<Case> {};

TEST_P(FastParseTest, ThreeWaysWriteTheSameBytes) {
  const Case& c = GetParam();
  const std::vector<uint32_t> keys = make_keys(c);
  for (const bool indices : {false, true}) {
    SCOPED_TRACE(indices ? "indices" : "true colour");
    const Parsed vector = parse(c, keys, indices, true, FastParse::kVector);
    const Parsed portable = parse(c, keys, indices, true, FastParse::kPortable);
    const Parsed backward = parse(c, keys, indices, true, FastParse::kBackward);
    const Parsed smallest = parse(c, keys, indices, false, FastParse::kVector);
    ASSERT_TRUE(vector.finished && portable.finished && backward.finished && smallest.finished);
    EXPECT_EQ(vector.streams, portable.streams);
    EXPECT_EQ(vector.streams, backward.streams);
    for (const Parsed* p : {&portable, &backward}) {
      EXPECT_EQ(vector.out.flag_bytes, p->out.flag_bytes);
      EXPECT_EQ(vector.out.command_bytes, p->out.command_bytes);
      EXPECT_EQ(vector.out.literal_pixels, p->out.literal_pixels);
      EXPECT_EQ(vector.out.runs, p->out.runs);
      EXPECT_EQ(vector.out.run_pixels, p->out.run_pixels);
    }
    EXPECT_EQ(vector.out.literal_pixels + vector.out.run_pixels, keys.size());
    EXPECT_LE(smallest.streams.size(), vector.streams.size());
  }
}

TEST_P(FastParseTest, ProgressStopsEveryWay) {
  const Case& c = GetParam();
  const std::vector<uint32_t> keys = make_keys(c);
  for (const FastParse how : {FastParse::kVector, FastParse::kPortable, FastParse::kBackward}) {
    Stop stop{c.height / 2};
    EXPECT_FALSE(parse(c, keys, false, true, how, &stop).finished);
  }
}

std::vector<Case> cases() {
  std::vector<Case> list = {
      {"flat_1x1", Kind::kFlat, 1, 1},
      {"flat_1x40", Kind::kFlat, 1, 40},
      {"flat_40x1", Kind::kFlat, 40, 1},
      {"flat_5x5", Kind::kFlat, 5, 5},
      {"flat_17x9", Kind::kFlat, 17, 9},
      {"flat_100x40", Kind::kFlat, 100, 40},
      {"stripes_2x30", Kind::kStripes, 2, 30},
      {"stripes_3x19", Kind::kStripes, 3, 19},
      {"stripes_16x16", Kind::kStripes, 16, 16},
      {"stripes_33x7", Kind::kStripes, 33, 7},
      {"few_colours_4x50", Kind::kFewColours, 4, 50},
      {"few_colours_19x21", Kind::kFewColours, 19, 21},
      {"few_colours_64x64", Kind::kFewColours, 64, 64},
      {"noise_7x7", Kind::kNoise, 7, 7},
      {"noise_61x41", Kind::kNoise, 61, 41},
      {"blocks_15x4", Kind::kBlocks, 15, 4},
      {"blocks_97x53", Kind::kBlocks, 97, 53},
      {"blocks_300x2", Kind::kBlocks, 300, 2},
      {"diagonal_6x11", Kind::kDiagonal, 6, 11},
      {"diagonal_80x30", Kind::kDiagonal, 80, 30},
  };
  // Flat pictures of these sizes end runs at every distance from the last
  // pixel: a compare reaching past it would find the room past the keys
  // equal too.
  for (uint32_t h : {5u, 7u}) {
    for (uint32_t w = 20; w < 40; ++w) {
      list.push_back({"flat_" + std::to_string(w) + "x" + std::to_string(h), Kind::kFlat, w, h});
    }
  }
  return list;
}

INSTANTIATE_TEST_SUITE_P(Pictures, FastParseTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return param.param.name;
                         });

}  // namespace
