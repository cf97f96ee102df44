#include "encoder/tzf_encoder.h"

#include <algorithm>
#include <cstring>

namespace tzf::encoder {
namespace {

constexpr uint32_t kRunBits = 1 + 8;  // flag bit + command byte

// A displacement usable for this picture: a distinct negative offset, with the
// lowest table index that produces it.
struct Source {
  int64_t offset;
  uint8_t entry;
};

struct SourceList {
  std::array<Source, kDisplacements.size()> items;
  size_t count = 0;
};

SourceList UsableSources(int64_t width, int64_t pixel_count) {
  SourceList list;
  for (int e = 0; e < static_cast<int>(kDisplacements.size()); ++e) {
    const int64_t offset = DisplacementOffset(e, width);
    // Offsets >= 0 only ever read zero bytes; offsets reaching back past the
    // first pixel can never be satisfied.
    if (offset >= 0 || -offset >= pixel_count) continue;
    bool seen = false;
    for (size_t k = 0; k < list.count; ++k) seen = seen || list.items[k].offset == offset;
    if (!seen) list.items[list.count++] = {offset, static_cast<uint8_t>(e)};
  }
  return list;
}

// Walks the pixels from last to first, tracking for every source the length
// of the match starting at the current pixel (capped at kMaxRun, never past
// the last pixel). Fills length[i] with the chosen run length at pixel i
// (0 for a literal) and entry[i] with the table index of the longest match.
//
// The optimal parse minimises the total number of bits. Flag bits pack eight
// to a byte and everything else is whole bytes, so the file size in bytes is
// ceil(total_bits / 8) and minimising bits also minimises bytes.
template <typename Key>
void ParseBackward(const Key* keys, int64_t n, const SourceList& sources, ParseMode mode,
                   uint32_t literal_bits, uint8_t* length, uint8_t* entry) {
  std::array<uint8_t, kDisplacements.size()> run{};
  // cost[j & 31] = fewest bits needed to encode pixels j..n-1; only the next
  // kMaxRun positions are ever consulted.
  std::array<uint64_t, 32> cost{};
  cost[static_cast<size_t>(n & 31)] = 0;
  for (int64_t i = n - 1; i >= 0; --i) {
    const Key key = keys[i];
    int best_len = 0;
    uint8_t best_entry = 0;
    for (size_t s = 0; s < sources.count; ++s) {
      const int64_t src = i + sources.items[s].offset;
      uint8_t r = 0;
      if (src >= 0 && keys[src] == key) r = static_cast<uint8_t>(std::min(run[s] + 1, kMaxRun));
      run[s] = r;
      if (r > best_len) {
        best_len = r;
        best_entry = sources.items[s].entry;
      }
    }
    entry[i] = best_entry;
    if (mode == ParseMode::kGreedy) {
      length[i] = static_cast<uint8_t>(best_len >= kMinRun ? best_len : 0);
      continue;
    }
    uint64_t best = literal_bits + cost[static_cast<size_t>((i + 1) & 31)];
    int choice = 0;
    for (int len = kMinRun; len <= best_len; ++len) {
      const uint64_t c = kRunBits + cost[static_cast<size_t>((i + len) & 31)];
      if (c <= best) {  // on ties prefer the run, and the longer one
        best = c;
        choice = len;
      }
    }
    cost[static_cast<size_t>(i & 31)] = best;
    length[i] = static_cast<uint8_t>(choice);
  }
}

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

EncodeStatus ValidateInput(const EncoderInput& input) {
  if (input.width <= 0 || input.height <= 0) return EncodeStatus::kInvalidDimensions;
  if (input.width > kMaxDimension || input.height > kMaxDimension ||
      input.width * input.height > kMaxPixels) {
    return EncodeStatus::kTooLarge;
  }
  if (input.bits_per_pixel != 8 && input.bits_per_pixel != 24) {
    return EncodeStatus::kUnsupportedDepth;
  }
  const uint64_t expected =
      static_cast<uint64_t>(input.width * input.height * (input.bits_per_pixel / 8));
  if (input.pixels.size() != expected) return EncodeStatus::kPixelBufferSize;
  if (input.bits_per_pixel == 8 && input.palette.size() != kPaletteSize) {
    return EncodeStatus::kMissingPalette;
  }
  return EncodeStatus::kOk;
}

EncodeResult Encode(const EncoderInput& input, ParseMode mode) {
  EncodeResult result;
  result.status = ValidateInput(input);
  if (result.status != EncodeStatus::kOk) return result;

  const int64_t n = input.width * input.height;
  const size_t bytes_per_pixel = static_cast<size_t>(input.bits_per_pixel / 8);
  const uint32_t literal_bits = static_cast<uint32_t>(1 + 8 * bytes_per_pixel);
  const SourceList sources = UsableSources(input.width, n);
  const uint8_t* pix = input.pixels.data();

  std::vector<uint8_t> length(static_cast<size_t>(n));
  std::vector<uint8_t> entry(static_cast<size_t>(n));
  if (bytes_per_pixel == 1) {
    ParseBackward(pix, n, sources, mode, literal_bits, length.data(), entry.data());
  } else {
    std::vector<uint32_t> keys(static_cast<size_t>(n));
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint8_t* p = pix + 3 * i;
      keys[i] = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
    }
    ParseBackward(keys.data(), n, sources, mode, literal_bits, length.data(), entry.data());
  }

  // Count the tokens so the file can be laid out in one allocation.
  EncodeStats& st = result.stats;
  for (int64_t i = 0; i < n;) {
    const int len = length[static_cast<size_t>(i)];
    if (len == 0) {
      ++st.literal_pixels;
      ++i;
    } else {
      ++st.run_count;
      st.run_pixels += len;
      i += len;
    }
  }
  st.flag_bytes = (st.literal_pixels + st.run_count + 7) / 8;
  st.command_bytes = st.run_count;
  st.literal_bytes = st.literal_pixels * static_cast<int64_t>(bytes_per_pixel);

  const size_t palette_size = bytes_per_pixel == 1 ? kPaletteSize : 0;
  const size_t pixel_stream = kHeaderSize + palette_size;
  std::vector<uint8_t>& file = result.file;
  file.assign(
      pixel_stream + static_cast<size_t>(st.flag_bytes + st.command_bytes + st.literal_bytes), 0);

  uint8_t* h = file.data();
  std::memcpy(h + kFieldMagic, kMagic, sizeof kMagic);
  PutU32(h + kFieldVersion, kFormatVersion);
  PutU32(h + kFieldHeaderLength, kHeaderSize);
  PutU32(h + kFieldWidth, static_cast<uint32_t>(input.width));
  PutU32(h + kFieldHeight, static_cast<uint32_t>(input.height));
  h[kFieldBitsPerPixel] = static_cast<uint8_t>(input.bits_per_pixel);
  PutU32(h + kFieldPixelStreamOffset, static_cast<uint32_t>(pixel_stream));
  PutU32(h + kFieldFlagStreamLength, static_cast<uint32_t>(st.flag_bytes));
  PutU32(h + kFieldCommandStreamLength, static_cast<uint32_t>(st.command_bytes));
  if (palette_size != 0) std::memcpy(h + kHeaderSize, input.palette.data(), palette_size);

  uint8_t* flags = h + pixel_stream;
  uint8_t* commands = flags + st.flag_bytes;
  uint8_t* literals = commands + st.command_bytes;
  int64_t token = 0;
  for (int64_t i = 0; i < n; ++token) {
    const size_t at = static_cast<size_t>(i);
    const int len = length[at];
    if (len == 0) {
      std::memcpy(literals, pix + at * bytes_per_pixel, bytes_per_pixel);
      literals += bytes_per_pixel;
      ++i;
    } else {
      flags[token >> 3] |= static_cast<uint8_t>(0x80u >> (token & 7));
      *commands++ = static_cast<uint8_t>(entry[at] << 4 | (len - kMinRun));
      i += len;
    }
  }
  return result;
}

const char* StatusMessage(EncodeStatus status) {
  switch (status) {
    case EncodeStatus::kOk:
      return "ok";
    case EncodeStatus::kInvalidDimensions:
      return "width and height must be positive";
    case EncodeStatus::kTooLarge:
      return "picture too large (at most 1048576 pixels per side and 268435456 pixels)";
    case EncodeStatus::kUnsupportedDepth:
      return "bits per pixel must be 8 or 24";
    case EncodeStatus::kPixelBufferSize:
      return "pixel buffer size does not match width * height * bytes per pixel";
    case EncodeStatus::kMissingPalette:
      return "8-bit pictures need a 1024-byte colour table";
  }
  return "unknown error";
}

}  // namespace tzf::encoder
