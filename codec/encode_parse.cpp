#include "codec/encode_parse.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "codec/format.h"
#include "codec/sizes.h"

namespace {

constexpr uint32_t kRunBits = 1 + 8;  // flag bit + command byte
constexpr size_t kColourSlots = 1024;

// Walks the pixels from last to first, tracking for every source the length
// of the match starting at the current pixel (capped at kMaxRun, never past
// the last pixel). Fills length[i] with the chosen run length at pixel i (0
// for a literal) and entry[i] with the table index of the longest match.
//
// The smallest parse minimises the total number of bits: flag bits pack
// eight to a byte and everything else is whole bytes, so the file's size is
// ceil(bits / 8) and the fewest bits also give the fewest bytes.
template <typename Key>
bool parse_backward(const Key* keys, const ParseInput& in, uint64_t n, const ParseSources& usable,
                    uint32_t literal_bits, uint8_t* length, uint8_t* entry) {
  // Local copies: the progress callback is opaque to the compiler, and it
  // cannot reach these, so they stay in registers across the loop.
  const ParseSources sources = usable;
  const bool fast = in.fast;
  const QuantiseProgress progress = in.progress;
  const uint32_t width = in.width, height = in.height;
  std::array<uint8_t, 16> run{};
  // cost[j & 31] = fewest bits for pixels j..n-1; only the next kMaxRun
  // positions are ever consulted.
  std::array<uint64_t, 32> cost{};
  uint32_t rows_left = height;
  uint32_t row_left = 0;  // pixels of the current row still to go, counted without dividing
  for (uint64_t i = n; i-- > 0;) {
    if (row_left-- == 0) {
      row_left = width - 1;
      --rows_left;
      if (progress.report != nullptr &&
          !progress.report(progress.user, height - 1 - rows_left, height)) {
        return false;
      }
    }
    const Key key = keys[i];
    uint32_t best_len = 0;
    uint8_t best_entry = 0;
    for (size_t s = 0; s < sources.count; ++s) {
      const int64_t src = static_cast<int64_t>(i) + sources.items[s].offset;
      // Whether the pixels match is as good as random on a photo: chosen
      // without a branch, which the processor would mispredict half the time.
      const bool match = src >= 0 && keys[src] == key;
      const uint32_t longer = std::min<uint32_t>(run[s] + 1u, kMaxRun);
      const uint32_t r = match ? longer : 0;
      run[s] = static_cast<uint8_t>(r);
      if (r > best_len) {
        best_len = r;
        best_entry = sources.items[s].entry;
      }
    }
    entry[i] = best_entry;
    if (fast) {
      length[i] = static_cast<uint8_t>(best_len >= kMinRun ? best_len : 0);
      continue;
    }
    uint64_t best = literal_bits + cost[(i + 1) & 31];
    uint32_t choice = 0;
    for (uint32_t len = kMinRun; len <= best_len; ++len) {
      const uint64_t c = kRunBits + cost[(i + len) & 31];
      if (c <= best) {  // on ties prefer the run, and the longer one
        best = c;
        choice = len;
      }
    }
    cost[i & 31] = best;
    length[i] = static_cast<uint8_t>(choice);
  }
  return true;
}

}  // namespace

ParseSources usable_sources(uint32_t width, uint64_t pixels) {
  ParseSources list;
  for (uint8_t e = 0; e < 16; ++e) {
    const Displacement& d = kDisplacementTable[e];
    const int64_t offset = int64_t{d.dy} * width + d.dx;
    // Offsets >= 0 only ever read zero bytes; offsets reaching back past the
    // first pixel can never be satisfied.
    if (offset >= 0 || static_cast<uint64_t>(-offset) >= pixels) continue;
    bool seen = false;
    for (size_t k = 0; k < list.count; ++k) seen = seen || list.items[k].offset == offset;
    if (seen) continue;
    list.items[list.count++] = {offset, e};
    list.reach = std::max(list.reach, static_cast<uint64_t>(-offset));
  }
  return list;
}

uint64_t parse_work_bytes(uint64_t pixels, bool fast) {
  // Fast: the command bytes, then a byte of each key.
  return fast ? consumable_command_bytes(pixels) + pixels : 2 * pixels;
}

uint64_t exact_colours_work_bytes() { return kColourSlots * (sizeof(uint32_t) + 1); }

uint32_t exact_colours(const uint32_t* keys, uint64_t pixels, uint8_t (*palette)[3],
                       uint8_t* indices, void* work, size_t work_size) {
  if (work_size < exact_colours_work_bytes()) return 0;
  // Open addressing: slot holds key + 1 (0 marks a free slot).
  uint32_t* slot_key = static_cast<uint32_t*>(work);
  uint8_t* slot_index = reinterpret_cast<uint8_t*>(slot_key + kColourSlots);
  memset(slot_key, 0, kColourSlots * sizeof(uint32_t));
  uint32_t count = 0;
  uint32_t last_key = UINT32_MAX;
  uint8_t last_index = 0;
  for (uint64_t i = 0; i < pixels; ++i) {
    const uint32_t key = keys[i];
    if (key != last_key) {
      size_t h = (key * 2654435761u) >> 22;  // 10 bits
      while (slot_key[h] != 0 && slot_key[h] != key + 1) h = (h + 1) & (kColourSlots - 1);
      if (slot_key[h] == 0) {
        if (count == 256) return 0;
        slot_key[h] = key + 1;
        slot_index[h] = static_cast<uint8_t>(count);
        palette[count][0] = static_cast<uint8_t>(key >> 16);
        palette[count][1] = static_cast<uint8_t>(key >> 8);
        palette[count][2] = static_cast<uint8_t>(key);
        ++count;
      }
      last_key = key;
      last_index = slot_index[h];
    }
    indices[i] = last_index;
  }
  return count;
}

bool parse_and_write(const ParseInput& in, uint8_t* streams, ParseOutput& out) {
  const uint64_t n = pixel_total(in.width, in.height);
  const ParseSources sources = usable_sources(in.width, n);
  if (in.fast && in.fast_parse != FastParse::kBackward)
    return parse_fast(in, sources, streams, out);
  const uint32_t bytes_per_pixel = in.indices != nullptr ? 1 : 3;
  const uint32_t literal_bits = 1 + 8 * bytes_per_pixel;
  uint8_t* length = static_cast<uint8_t*>(in.work);
  uint8_t* entry = length + n;
  const bool parsed = in.indices != nullptr
                          ? parse_backward(in.indices, in, n, sources, literal_bits, length, entry)
                          : parse_backward(in.keys, in, n, sources, literal_bits, length, entry);
  if (!parsed) return false;

  ParseOutput o{};
  for (uint64_t i = 0; i < n;) {
    const uint32_t len = length[i];
    if (len == 0) {
      ++o.literal_pixels;
      ++i;
    } else {
      ++o.runs;
      o.run_pixels += len;
      i += len;
    }
  }
  o.flag_bytes = consumable_flag_bytes(o.literal_pixels + o.runs);
  o.command_bytes = o.runs;
  o.literal_bytes = o.literal_pixels * bytes_per_pixel;

  uint8_t* flags = streams;
  uint8_t* commands = flags + o.flag_bytes;
  uint8_t* literals = commands + o.command_bytes;
  memset(flags, 0, static_cast<size_t>(o.flag_bytes));
  uint64_t token = 0;
  for (uint64_t i = 0; i < n; ++token) {
    const uint32_t len = length[i];
    if (len == 0) {
      if (in.indices != nullptr) {
        *literals++ = in.indices[i];
      } else {
        const uint32_t key = in.keys[i];
        literals[0] = static_cast<uint8_t>(key);
        literals[1] = static_cast<uint8_t>(key >> 8);
        literals[2] = static_cast<uint8_t>(key >> 16);
        literals += 3;
      }
      ++i;
    } else {
      flags[token >> 3] |= static_cast<uint8_t>(0x80u >> (token & 7));
      *commands++ = static_cast<uint8_t>(entry[i] << 4 | (len - kMinRun));
      i += len;
    }
  }
  out = o;
  return true;
}
