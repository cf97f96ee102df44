// Timing of the optimal and greedy parse on a 1920x1080 24-bit picture with
// smooth gradients, sensor-like noise and flat areas.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "encoder/tzf_encoder.h"

namespace {

constexpr int64_t kWidth = 1920;
constexpr int64_t kHeight = 1080;

// Pixels in decoding order (bottom row first), B, G, R.
std::vector<uint8_t> MakePhotoLike() {
  std::mt19937 rng(1234);
  std::vector<uint8_t> pixels(static_cast<size_t>(kWidth * kHeight * 3));
  for (int64_t y = 0; y < kHeight; ++y) {
    for (int64_t x = 0; x < kWidth; ++x) {
      uint8_t* p = pixels.data() + 3 * (y * kWidth + x);
      const bool flat_sky = y > kHeight * 3 / 4;
      const bool flat_box = x > 200 && x < 700 && y > 100 && y < 400;
      const bool quiet = (x / 64 + y / 64) % 5 == 0;  // noise-free patches
      if (flat_sky || flat_box) {
        p[0] = flat_box ? 40 : 230;
        p[1] = flat_box ? 90 : 180;
        p[2] = flat_box ? 160 : 120;
        continue;
      }
      const double fx = static_cast<double>(x) / kWidth, fy = static_cast<double>(y) / kHeight;
      const double base[3] = {200 * fx, 120 + 60 * std::sin(6 * fx + 3 * fy), 255 * fy};
      for (int c = 0; c < 3; ++c) {
        const int noise = quiet ? 0 : static_cast<int>(rng() % 5) - 2;
        p[c] = static_cast<uint8_t>(std::clamp(static_cast<int>(base[c]) + noise, 0, 255));
      }
    }
  }
  return pixels;
}

uint32_t U32(const std::vector<uint8_t>& f, size_t at) {
  return uint32_t{f[at]} | uint32_t{f[at + 1]} << 8 | uint32_t{f[at + 2]} << 16 |
         uint32_t{f[at + 3]} << 24;
}

// Straightforward decoder of a 24-bit file, for checking before timing.
std::vector<uint8_t> Decode24(const std::vector<uint8_t>& f) {
  static constexpr int kTable[16][2] = {{3, -3},  {-4, -4}, {-4, -2}, {-2, -1}, {0, -2}, {-3, -1},
                                        {-1, -1}, {0, -1},  {0, -4},  {-4, 0},  {1, -1}, {0, -3},
                                        {2, -1},  {-2, -2}, {-3, -3}, {-4, -1}};
  const int64_t w = static_cast<int32_t>(U32(f, 12)), n = w * static_cast<int32_t>(U32(f, 16));
  const size_t flags = U32(f, 40), cmds = flags + U32(f, 48), flag_end = cmds;
  const size_t lit_start = cmds + U32(f, 52);
  size_t cmd = cmds, lit = lit_start;
  std::vector<uint8_t> out(static_cast<size_t>(n) * 3, 0);
  uint64_t bit = 0;
  for (int64_t i = 0; i < n;) {
    const size_t byte = flags + bit / 8;
    const bool run = byte < flag_end && ((f[byte] >> (7 - bit % 8)) & 1) != 0;
    ++bit;
    if (!run) {
      for (int b = 0; b < 3; ++b, ++lit)
        out[static_cast<size_t>(i) * 3 + b] = lit < f.size() ? f[lit] : 0;
      ++i;
      continue;
    }
    const uint8_t c = cmd < lit_start ? f[cmd] : 0;
    ++cmd;
    const int64_t off = kTable[c >> 4][1] * w + kTable[c >> 4][0];
    for (int64_t t = i; t < i + (c & 15) + 3 && t < n; ++t) {
      for (int b = 0; b < 3; ++b) {
        const int64_t s = t + off;
        out[static_cast<size_t>(t) * 3 + b] =
            s < 0 || s >= t ? 0 : out[static_cast<size_t>(s) * 3 + b];
      }
    }
    i += (c & 15) + 3;
  }
  return out;
}

void BM_Parse(benchmark::State& state, tzf::encoder::ParseMode mode) {
  static const std::vector<uint8_t> pixels = MakePhotoLike();
  tzf::encoder::EncoderInput input{kWidth, kHeight, 24, pixels, {}};
  tzf::encoder::EncodeResult check = tzf::encoder::Encode(input, mode);
  if (check.status != tzf::encoder::EncodeStatus::kOk || Decode24(check.file) != pixels) {
    state.SkipWithError("encoded picture does not decode to the input");
    return;
  }
  for (auto _ : state) {
    tzf::encoder::EncodeResult r = tzf::encoder::Encode(input, mode);
    benchmark::DoNotOptimize(r.file.data());
  }
  state.counters["file_bytes"] = static_cast<double>(check.file.size());
  state.counters["ratio_pct"] =
      100.0 * static_cast<double>(check.file.size()) / static_cast<double>(pixels.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(pixels.size()));
}

BENCHMARK_CAPTURE(BM_Parse, optimal, tzf::encoder::ParseMode::kOptimal)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, greedy, tzf::encoder::ParseMode::kGreedy)
    ->Unit(benchmark::kMillisecond);

}  // namespace
