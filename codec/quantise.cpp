// Placeholder colour choice: a fixed 6x7x6 cube and nearest-colour mapping
// with Floyd-Steinberg error diffusion.
#include "codec/quantise.h"

#include <algorithm>
#include <cstdlib>

namespace {

uint32_t nearest(const uint8_t (*palette)[3], uint32_t size, int r, int g, int b) {
  uint32_t best = 0;
  int best_d = 1 << 30;
  for (uint32_t i = 0; i < size; ++i) {
    const int dr = r - palette[i][0], dg = g - palette[i][1], db = b - palette[i][2];
    const int d = dr * dr + dg * dg + db * db;
    if (d < best_d) {
      best_d = d;
      best = i;
    }
  }
  return best;
}

}  // namespace

uint64_t quantise_work_bytes(uint32_t width, uint32_t /*height*/) {
  return (static_cast<uint64_t>(width) + 2) * 2 * 3 * sizeof(int32_t) + 64;
}

uint32_t choose_palette(const uint32_t* /*keys*/, uint32_t /*width*/, uint32_t /*height*/,
                        uint8_t (*palette)[3], void* /*work*/, size_t /*work_size*/,
                        const QuantiseProgress& /*progress*/) {
  uint32_t n = 0;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 7; ++g)
      for (int b = 0; b < 6; ++b) {
        palette[n][0] = static_cast<uint8_t>(r * 51);
        palette[n][1] = static_cast<uint8_t>(g * 255 / 6);
        palette[n][2] = static_cast<uint8_t>(b * 51);
        ++n;
      }
  return n;
}

bool remap_pixels(const uint32_t* keys, uint32_t width, uint32_t height,
                  const uint8_t (*palette)[3], uint32_t palette_size, bool dither, uint8_t* indices,
                  void* work, size_t /*work_size*/, const QuantiseProgress& progress) {
  int32_t* err = static_cast<int32_t*>(work);  // two rows of (width + 2) x 3
  const size_t row_len = (static_cast<size_t>(width) + 2) * 3;
  std::fill(err, err + 2 * row_len, 0);
  for (uint32_t y = 0; y < height; ++y) {
    if (progress.report != nullptr && !progress.report(progress.user, y, height)) return false;
    int32_t* cur = err + (y % 2) * row_len;
    int32_t* next = err + ((y + 1) % 2) * row_len;
    std::fill(next, next + row_len, 0);
    const bool reverse = (y % 2) != 0;
    for (uint32_t k = 0; k < width; ++k) {
      const uint32_t x = reverse ? width - 1 - k : k;
      const size_t at = static_cast<size_t>(y) * width + x;
      const uint32_t key = keys[at];
      int c[3] = {static_cast<int>(key >> 16 & 255), static_cast<int>(key >> 8 & 255),
                  static_cast<int>(key & 255)};
      if (dither) {
        for (int i = 0; i < 3; ++i) c[i] = std::clamp(c[i] + cur[(x + 1) * 3 + i] / 16, 0, 255);
      }
      const uint32_t idx = nearest(palette, palette_size, c[0], c[1], c[2]);
      indices[at] = static_cast<uint8_t>(idx);
      if (!dither) continue;
      const int dir = reverse ? -1 : 1;
      for (int i = 0; i < 3; ++i) {
        const int e = c[i] - palette[idx][i];
        cur[(x + 1 + dir) * 3 + i] += e * 7;
        next[(x + 1 - dir) * 3 + i] += e * 3;
        next[(x + 1) * 3 + i] += e * 5;
        next[(x + 1 + dir) * 3 + i] += e;
      }
    }
  }
  return true;
}
