// Colour choice and mapping for 8-bit files.
//
// choose_palette counts the picture's colours in cells of 6 bits a channel
// (for a small picture, only the cells it uses, in a hash of them), keeping
// each cell's exact mean. A few entries go to the picture's extreme
// colours (the furthest along each channel and each corner of the colour
// cube, among cells not too rare): error diffusion reaches only colours
// between the table's entries, so without them a bright sky or a dark shadow
// ends up a flat area of the wrong colour. The other cells are cut into
// boxes: always the box with the largest squared error, across its widest
// channel, where the two halves leave the least error. The boxes' means are then refined by a
// k-means pass over the cells, and last by a pass of the mapping itself,
// with error diffusion: each entry moves to the mean of the colours it was
// asked to stand for, which reach a little past the picture's own colours
// (each at most kReach from the pixel's). The table then spans the colours
// that diffusion mixes: a dithered area averages closer to the original.
// The extremes stay where they are through both.
//
// remap_pixels finds each pixel's nearest colour by a search of the table
// sorted by green, behind a cache of recent answers, optionally with
// serpentine Floyd-Steinberg error diffusion.
//
// Distances weigh the channels as the eye does (green most, blue least).
// Integer arithmetic only, and every sort has a total order: every build
// chooses the same colours and the same indices.
#include "codec/quantise.h"

#include <algorithm>
#include <cstring>

namespace {

// Channel weights of the squared distance (red, green, blue).
constexpr int32_t kWeight[3] = {3, 4, 2};

// Histogram: 6 bits a channel.
constexpr uint32_t kCellBits = 6;
constexpr uint32_t kCells = 1u << (3 * kCellBits);
constexpr uint32_t kDropBits = 8 - kCellBits;
constexpr uint32_t kDropMask = (1u << kDropBits) - 1;

// Colours of the cells and of the k-means centres are in 1/16 of a level.
constexpr int32_t kFixed = 16;

// Nearest-colour cache of the mapping: direct-mapped, 2^15 slots.
constexpr uint32_t kCacheBits = 15;
constexpr uint32_t kCacheSlots = 1u << kCacheBits;

constexpr uint32_t kMaxColours = 256;
constexpr uint32_t kMeansPasses = 1;
// The pass with error diffusion counts the colour it aimed at for each
// pixel, at most this far from the pixel's own in each channel.
constexpr int32_t kReach = 4;
// The extremes come from cells holding at least this share of the pixels.
constexpr uint64_t kExtremeShare = 65536;
// 3 axes and 4 diagonals of the colour cube, each both ways.
constexpr uint32_t kExtremes = 14;
constexpr uint64_t kAlign = 16;

uint64_t align_up(uint64_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// One histogram cell. While counting, v holds the sums of the bits of each
// channel below the cell's precision; once gathered, v[0] is the cell's
// number and v[1], v[2] its mean colour (red | green << 16, blue) in
// 1/16 of a level; no two cells have the same mean.
struct Bin {
  uint32_t count;
  uint32_t v[3];
};

int32_t bin_channel(const Bin& b, int axis) {
  switch (axis) {
    case 0:
      return static_cast<int32_t>(b.v[1] & 0xFFFF);
    case 1:
      return static_cast<int32_t>(b.v[1] >> 16);
    default:
      return static_cast<int32_t>(b.v[2]);
  }
}

// The histogram's slots: one a cell, or for a picture of at most a quarter
// as many pixels as cells, a hash of cells with at least twice as many slots
// as pixels (a power of 2), each slot also holding its cell's number.
struct Histogram {
  uint32_t bits;  // slots = 2^bits
  uint32_t slots;
  bool hashed;
};

Histogram histogram_for(uint32_t width, uint32_t height) {
  const uint64_t pixels = uint64_t{width} * height;
  if (pixels > kCells / 4) return Histogram{3 * kCellBits, kCells, false};
  uint32_t bits = 6;
  while ((uint64_t{1} << bits) < 2 * pixels) ++bits;
  return Histogram{bits, 1u << bits, true};
}

uint64_t histogram_bytes(const Histogram& h) {
  return align_up(sizeof(Bin) * uint64_t{h.slots}) +
         (h.hashed ? align_up(4 * uint64_t{h.slots}) : 0);
}

// A run of gathered bins and its statistics.
struct Box {
  uint32_t begin, end;
  uint64_t count;
  uint64_t sum[3];
  uint64_t error;  // weighted squared error around the mean
  int axis;        // the channel with the largest weighted error
};

void measure_box(const Bin* bins, Box& box) {
  box.count = 0;
  box.sum[0] = box.sum[1] = box.sum[2] = 0;
  for (uint32_t i = box.begin; i < box.end; ++i) {
    box.count += bins[i].count;
    for (int a = 0; a < 3; ++a) box.sum[a] += uint64_t{bins[i].count} * bin_channel(bins[i], a);
  }
  uint64_t axis_error[3] = {0, 0, 0};
  if (box.count != 0) {
    int64_t mean[3];
    for (int a = 0; a < 3; ++a) mean[a] = static_cast<int64_t>(box.sum[a] / box.count);
    for (uint32_t i = box.begin; i < box.end; ++i) {
      for (int a = 0; a < 3; ++a) {
        const int64_t d = bin_channel(bins[i], a) - mean[a];
        axis_error[a] += uint64_t{bins[i].count} * static_cast<uint64_t>(d * d);
      }
    }
  }
  box.error = 0;
  box.axis = 0;
  uint64_t widest = 0;
  for (int a = 0; a < 3; ++a) {
    const uint64_t e = axis_error[a] * static_cast<uint64_t>(kWeight[a]);
    box.error += e;
    if (e > widest) {
      widest = e;
      box.axis = a;
    }
  }
}

// Cuts `box` (more than one bin) into itself and `upper`.
void split_box(Bin* bins, Box& box, Box& upper) {
  const int axis = box.axis;
  std::sort(bins + box.begin, bins + box.end, [axis](const Bin& x, const Bin& y) {
    const int32_t cx = bin_channel(x, axis), cy = bin_channel(y, axis);
    if (cx != cy) return cx < cy;
    return x.v[1] != y.v[1] ? x.v[1] < y.v[1] : x.v[2] < y.v[2];
  });
  // Least error of the halves along the axis: the largest
  // sum_L^2 / n_L + sum_R^2 / n_R, each term taken as mean x sum.
  const uint64_t total_n = box.count, total_s = box.sum[axis];
  uint64_t n = 0, s = 0, best_gain = 0;
  uint32_t cut = box.begin + 1;
  for (uint32_t i = box.begin; i + 1 < box.end; ++i) {
    n += bins[i].count;
    s += uint64_t{bins[i].count} * bin_channel(bins[i], axis);
    const uint64_t rn = total_n - n, rs = total_s - s;
    const uint64_t gain = (n ? s / n * s : 0) + (rn ? rs / rn * rs : 0);
    if (gain > best_gain) {
      best_gain = gain;
      cut = i + 1;
    }
  }
  upper.begin = cut;
  upper.end = box.end;
  box.end = cut;
  measure_box(bins, box);
  measure_box(bins, upper);
}

// Nearest entry of a colour table: entries sorted by green, searched outward
// from the query's green until the green distance alone exceeds the best.
struct Nearest {
  int32_t colour[kMaxColours][3];  // sorted by green
  uint8_t index[kMaxColours];      // table index of each sorted entry
  uint32_t size;
};

void sort_table(Nearest& t) {
  // Insertion sort by (green, index): a total order.
  for (uint32_t i = 1; i < t.size; ++i) {
    int32_t c[3] = {t.colour[i][0], t.colour[i][1], t.colour[i][2]};
    const uint8_t idx = t.index[i];
    uint32_t j = i;
    while (j > 0 &&
           (t.colour[j - 1][1] > c[1] || (t.colour[j - 1][1] == c[1] && t.index[j - 1] > idx))) {
      memcpy(t.colour[j], t.colour[j - 1], sizeof t.colour[j]);
      t.index[j] = t.index[j - 1];
      --j;
    }
    memcpy(t.colour[j], c, sizeof c);
    t.index[j] = idx;
  }
}

inline int64_t distance(const int32_t* a, int32_t r, int32_t g, int32_t b) {
  const int64_t dr = a[0] - r, dg = a[1] - g, db = a[2] - b;
  return kWeight[0] * dr * dr + kWeight[1] * dg * dg + kWeight[2] * db * db;
}

// Position of the sorted entry nearest to (r, g, b); ties go to the lower
// position.
uint32_t nearest(const Nearest& t, int32_t r, int32_t g, int32_t b) {
  // First entry with green >= g.
  uint32_t lo = 0, hi = t.size;
  while (lo < hi) {
    const uint32_t mid = (lo + hi) / 2;
    if (t.colour[mid][1] < g) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  uint32_t best = lo < t.size ? lo : t.size - 1;
  int64_t best_d = distance(t.colour[best], r, g, b);
  for (uint32_t i = lo; i < t.size; ++i) {
    const int64_t dg = t.colour[i][1] - g;
    if (kWeight[1] * dg * dg > best_d) break;
    const int64_t d = distance(t.colour[i], r, g, b);
    if (d < best_d || (d == best_d && i < best)) {
      best_d = d;
      best = i;
    }
  }
  for (uint32_t i = lo; i-- > 0;) {
    const int64_t dg = g - t.colour[i][1];
    if (kWeight[1] * dg * dg > best_d) break;
    const int64_t d = distance(t.colour[i], r, g, b);
    if (d < best_d || (d == best_d && i < best)) {
      best_d = d;
      best = i;
    }
  }
  return best;
}

// The cells furthest along each direction of kExtremes (their red, green
// and blue parts each -1, 0 or 1), among cells of at least `least` pixels,
// without repeats, in 1/16 of a level. Returns how many.
uint32_t find_extremes(const Bin* bins, uint32_t used, uint64_t least, int32_t (*extreme)[3]) {
  uint32_t found = 0;
  for (int dr = -1; dr <= 1; ++dr) {
    for (int dg = -1; dg <= 1; ++dg) {
      for (int db = -1; db <= 1; ++db) {
        const int axes = (dr != 0) + (dg != 0) + (db != 0);
        if (axes != 1 && axes != 3) continue;
        uint32_t pick = used;
        int64_t best = 0;
        for (uint32_t i = 0; i < used; ++i) {
          if (bins[i].count < least) continue;
          const int64_t along = int64_t{dr} * bin_channel(bins[i], 0) +
                                int64_t{dg} * bin_channel(bins[i], 1) +
                                int64_t{db} * bin_channel(bins[i], 2);
          if (pick == used || along > best || (along == best && bins[i].v[0] < bins[pick].v[0])) {
            best = along;
            pick = i;
          }
        }
        if (pick == used) continue;
        const int32_t c[3] = {bin_channel(bins[pick], 0), bin_channel(bins[pick], 1),
                              bin_channel(bins[pick], 2)};
        bool seen = false;
        for (uint32_t e = 0; e < found; ++e) {
          seen = seen || (extreme[e][0] == c[0] && extreme[e][1] == c[1] && extreme[e][2] == c[2]);
        }
        if (!seen) memcpy(extreme[found++], c, sizeof c);
      }
    }
  }
  return found;
}

bool report(const QuantiseProgress& progress, uint32_t done, uint32_t total) {
  return progress.report == nullptr || progress.report(progress.user, done, total);
}

// Work regions, at 16-byte boundaries from the first 16-byte boundary of the
// buffer.
uint8_t* aligned_start(void* work) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(work);
  return static_cast<uint8_t*>(work) + ((kAlign - at % kAlign) % kAlign);
}

// The mapping's work: the sorted table, the cache and two rows of error.
struct Mapping {
  Nearest* table;
  uint64_t* cache;  // (key + 1) << 8 | sorted position; 0 is free
  int32_t* err;     // two rows of (width + 2) x 3, in 1/16 of a level
};

uint64_t mapping_bytes(uint32_t width) {
  return align_up(sizeof(Nearest)) + align_up(sizeof(uint64_t) * uint64_t{kCacheSlots}) +
         2 * (uint64_t{width} + 2) * 3 * sizeof(int32_t);
}

Mapping mapping_at(uint8_t* at) {
  Mapping m{};
  m.table = reinterpret_cast<Nearest*>(at);
  at += align_up(sizeof(Nearest));
  m.cache = reinterpret_cast<uint64_t*>(at);
  at += align_up(sizeof(uint64_t) * uint64_t{kCacheSlots});
  m.err = reinterpret_cast<int32_t*>(at);
  return m;
}

// What a pass over the rows reports: from `from` to `from + span` of `total`.
struct Span {
  const QuantiseProgress* progress;
  uint32_t from, span, total;
};

// Totals of the colours each entry stood for.
struct Tally {
  uint64_t n[kMaxColours];
  uint64_t s[kMaxColours][3];
};

// Maps every pixel onto m.table (sorted): into `indices` when not null, and
// adds the colour each entry stood for, error included but at most kReach
// from the pixel's own, to `tally` when not null. False when cancelled.
bool map_pixels(const uint32_t* keys, uint32_t width, uint32_t height, const Mapping& m,
                bool dither, uint8_t* indices, Tally* tally, const Span& span) {
  const Nearest& t = *m.table;
  memset(m.cache, 0, sizeof(uint64_t) * size_t{kCacheSlots});
  const size_t row_len = (size_t{width} + 2) * 3;
  memset(m.err, 0, 2 * row_len * sizeof(int32_t));
  for (uint32_t y = 0; y < height; ++y) {
    if (y % 16 == 0 &&
        !report(*span.progress, span.from + static_cast<uint32_t>(uint64_t{y} * span.span / height),
                span.total))
      return false;
    int32_t* cur = m.err + (y % 2) * row_len;
    int32_t* next = m.err + ((y + 1) % 2) * row_len;
    memset(next, 0, row_len * sizeof(int32_t));
    const bool reverse = (y % 2) != 0;
    const int dir = reverse ? -1 : 1;
    for (uint32_t k = 0; k < width; ++k) {
      const uint32_t x = reverse ? width - 1 - k : k;
      const size_t pos = size_t{y} * width + x;
      const uint32_t key = keys[pos];
      const int32_t own[3] = {static_cast<int32_t>(key >> 16 & 255),
                              static_cast<int32_t>(key >> 8 & 255),
                              static_cast<int32_t>(key & 255)};
      // The colour aimed at, error included, in 1/16 of a level, and to the
      // nearest level.
      int32_t aim[3], c[3];
      int32_t* e = cur + (size_t{x} + 1) * 3;
      for (int a = 0; a < 3; ++a) {
        aim[a] = dither ? std::clamp(own[a] * 16 + e[a], 0, 255 * 16) : own[a] * 16;
        c[a] = (aim[a] + 8) >> 4;
      }
      const uint32_t want = static_cast<uint32_t>(c[0] << 16 | c[1] << 8 | c[2]);
      uint64_t& slot = m.cache[(want * 2654435761u) >> (32 - kCacheBits)];
      uint32_t sorted;
      if ((slot >> 8) == uint64_t{want} + 1) {
        sorted = static_cast<uint32_t>(slot & 255);
      } else {
        sorted = nearest(t, c[0], c[1], c[2]);
        slot = (uint64_t{want} + 1) << 8 | sorted;
      }
      if (indices != nullptr) indices[pos] = t.index[sorted];
      if (tally != nullptr) {
        ++tally->n[sorted];
        for (int a = 0; a < 3; ++a) {
          tally->s[sorted][a] +=
              static_cast<uint32_t>(std::clamp(c[a], own[a] - kReach, own[a] + kReach));
        }
      }
      if (!dither) continue;
      // Floyd-Steinberg's 7, 3, 5 and 1 sixteenths, the last taking what
      // rounding left: the whole error goes on.
      int32_t* ahead = e + dir * 3;
      int32_t* below = next + (size_t{x} + 1) * 3;
      for (int a = 0; a < 3; ++a) {
        const int32_t q = aim[a] - t.colour[sorted][a] * 16;
        const int32_t q7 = (q * 7 + 8) >> 4, q3 = (q * 3 + 8) >> 4, q5 = (q * 5 + 8) >> 4;
        ahead[a] += q7;
        below[a - dir * 3] += q3;
        below[a] += q5;
        below[a + dir * 3] += q - q7 - q3 - q5;
      }
    }
  }
  return true;
}

}  // namespace

uint64_t quantise_work_bytes(uint32_t width, uint32_t height) {
  // Colour choice: the histogram, then the mapping's work for its passes.
  const uint64_t bytes =
      histogram_bytes(histogram_for(width, height)) + mapping_bytes(width) + kAlign;
  return bytes > SIZE_MAX ? UINT64_MAX : bytes;
}

uint32_t choose_palette(const uint32_t* keys, uint32_t width, uint32_t height,
                        uint8_t (*palette)[3], void* work, size_t work_size,
                        const QuantiseProgress& progress) {
  if (work_size < quantise_work_bytes(width, height)) return 0;
  uint8_t* at = aligned_start(work);
  const Histogram h = histogram_for(width, height);
  Bin* bins = reinterpret_cast<Bin*>(at);
  uint32_t* ids = h.hashed
                      ? reinterpret_cast<uint32_t*>(at + align_up(sizeof(Bin) * uint64_t{h.slots}))
                      : nullptr;
  const Mapping m = mapping_at(at + histogram_bytes(h));
  const uint32_t total = 2 * height;

  // Count.
  memset(bins, 0, sizeof(Bin) * size_t{h.slots});
  for (uint32_t y = 0; y < height; ++y) {
    if (y % 64 == 0 && !report(progress, y / 2, total)) return 0;
    const uint32_t* row = keys + size_t{y} * width;
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t k = row[x];
      const uint32_t r = k >> 16 & 255, g = k >> 8 & 255, b = k & 255;
      const uint32_t id =
          (r >> kDropBits) << (2 * kCellBits) | (g >> kDropBits) << kCellBits | (b >> kDropBits);
      uint32_t slot = id;
      if (h.hashed) {
        slot = (id * 2654435761u) >> (32 - h.bits);
        while (bins[slot].count != 0 && ids[slot] != id) slot = (slot + 1) & (h.slots - 1);
        ids[slot] = id;
      }
      Bin& bin = bins[slot];
      ++bin.count;
      bin.v[0] += r & kDropMask;
      bin.v[1] += g & kDropMask;
      bin.v[2] += b & kDropMask;
    }
  }

  // Gather the cells in use to the front, each with its mean colour.
  uint32_t used = 0;
  for (uint32_t slot = 0; slot < h.slots; ++slot) {
    const Bin bin = bins[slot];
    if (bin.count == 0) continue;
    const uint32_t id = h.hashed ? ids[slot] : slot;
    int32_t mean[3];
    for (int a = 0; a < 3; ++a) {
      const uint32_t base = (id >> ((2 - a) * kCellBits) & ((1u << kCellBits) - 1)) << kDropBits;
      const uint64_t low = (uint64_t{bin.v[a]} * kFixed + bin.count / 2) / bin.count;
      mean[a] = static_cast<int32_t>(base * kFixed + low);
    }
    Bin& out = bins[used++];
    out.count = bin.count;
    out.v[0] = id;
    out.v[1] = static_cast<uint32_t>(mean[0]) | static_cast<uint32_t>(mean[1]) << 16;
    out.v[2] = static_cast<uint32_t>(mean[2]);
  }
  if (!report(progress, height / 2, total)) return 0;

  // The extremes, when the cells are more than the table holds; the boxes
  // take the other entries.
  int32_t extreme[kExtremes][3];
  const uint32_t extremes =
      used > kMaxColours
          ? find_extremes(bins, used,
                          std::max<uint64_t>(1, uint64_t{width} * height / kExtremeShare), extreme)
          : 0;

  // Cut into boxes.
  Box boxes[kMaxColours];
  uint32_t box_count = 1;
  boxes[0].begin = 0;
  boxes[0].end = used;
  measure_box(bins, boxes[0]);
  while (box_count < kMaxColours - extremes) {
    uint32_t pick = box_count;
    for (uint32_t i = 0; i < box_count; ++i) {
      if (boxes[i].end - boxes[i].begin < 2 || boxes[i].error == 0) continue;
      if (pick == box_count || boxes[i].error > boxes[pick].error) pick = i;
    }
    if (pick == box_count) break;
    split_box(bins, boxes[pick], boxes[box_count]);
    ++box_count;
  }

  // Centres in 1/16 of a level; the extremes after the boxes.
  Nearest& t = *m.table;
  t.size = box_count + extremes;
  for (uint32_t i = 0; i < box_count; ++i) {
    for (int a = 0; a < 3; ++a) {
      t.colour[i][a] =
          static_cast<int32_t>((boxes[i].sum[a] + boxes[i].count / 2) / boxes[i].count);
    }
    t.index[i] = static_cast<uint8_t>(i);
  }
  for (uint32_t e = 0; e < extremes; ++e) {
    memcpy(t.colour[box_count + e], extreme[e], sizeof extreme[e]);
    t.index[box_count + e] = static_cast<uint8_t>(box_count + e);
  }

  // K-means over the cells.
  for (uint32_t pass = 0; pass < kMeansPasses; ++pass) {
    if (!report(progress, height / 2 + height / 4 * pass / kMeansPasses, total)) return 0;
    sort_table(t);
    uint64_t n[kMaxColours] = {}, s[kMaxColours][3] = {};
    for (uint32_t i = 0; i < used; ++i) {
      const int32_t r = bin_channel(bins[i], 0), g = bin_channel(bins[i], 1),
                    b = bin_channel(bins[i], 2);
      const uint32_t j = nearest(t, r, g, b);
      n[j] += bins[i].count;
      s[j][0] += uint64_t{bins[i].count} * static_cast<uint32_t>(r);
      s[j][1] += uint64_t{bins[i].count} * static_cast<uint32_t>(g);
      s[j][2] += uint64_t{bins[i].count} * static_cast<uint32_t>(b);
    }
    bool moved = false;
    for (uint32_t j = 0; j < t.size; ++j) {
      if (n[j] == 0 || t.index[j] >= box_count) continue;
      for (int a = 0; a < 3; ++a) {
        const int32_t c = static_cast<int32_t>((s[j][a] + n[j] / 2) / n[j]);
        moved = moved || c != t.colour[j][a];
        t.colour[j][a] = c;
      }
    }
    if (!moved) break;
  }

  // To whole levels; then one pass of the mapping with error diffusion, and
  // each entry moves to the mean of the colours it stood for there.
  for (uint32_t j = 0; j < t.size; ++j) {
    for (int a = 0; a < 3; ++a) {
      t.colour[j][a] = std::min(255, (t.colour[j][a] + kFixed / 2) / kFixed);
    }
  }
  sort_table(t);
  Tally tally{};
  if (!map_pixels(keys, width, height, m, true, nullptr, &tally,
                  Span{&progress, height / 2 + height / 4, height / 4, total})) {
    return 0;
  }
  for (uint32_t j = 0; j < t.size; ++j) {
    if (tally.n[j] == 0 || t.index[j] >= box_count) continue;
    for (int a = 0; a < 3; ++a) {
      t.colour[j][a] = static_cast<int32_t>((tally.s[j][a] + tally.n[j] / 2) / tally.n[j]);
    }
  }
  // Table order: the boxes' order, then the extremes.
  for (uint32_t j = 0; j < t.size; ++j) {
    for (int a = 0; a < 3; ++a) palette[t.index[j]][a] = static_cast<uint8_t>(t.colour[j][a]);
  }
  if (!report(progress, height, total)) return 0;
  return t.size;
}

bool remap_pixels(const uint32_t* keys, uint32_t width, uint32_t height,
                  const uint8_t (*palette)[3], uint32_t palette_size, bool dither, uint8_t* indices,
                  void* work, size_t work_size, const QuantiseProgress& progress) {
  if (palette_size == 0 || palette_size > kMaxColours) return false;
  if (work_size < quantise_work_bytes(width, height)) return false;
  const Mapping m = mapping_at(aligned_start(work));
  Nearest& t = *m.table;
  t.size = palette_size;
  for (uint32_t i = 0; i < palette_size; ++i) {
    for (int a = 0; a < 3; ++a) t.colour[i][a] = palette[i][a];
    t.index[i] = static_cast<uint8_t>(i);
  }
  sort_table(t);
  return map_pixels(keys, width, height, m, dither, indices, nullptr,
                    Span{&progress, height, height, 2 * height}) &&
         report(progress, 2 * height, 2 * height);
}
