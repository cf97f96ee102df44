// The fast parse: one pass forwards, taking at every pixel no run covers the
// longest run the sources give, and writing the streams as it goes.
//
// Where the processor the library is built for has SSE2, a step compares the
// sixteen pixels from the current one with the sixteen at each source at
// once. From those masks come the longest run at the current pixel and, when
// it is a literal, how many of the next pixels no run of kMinRun can start
// at: those are literals too and are written in one go. For true colour a
// byte of each key is compared first, thirty-two in two compares, and the keys
// only where the bytes let a run start at the current pixel. These steps run
// only where all their reads lie inside the picture; near the picture's
// ends, and without SSE2, a step compares one pixel at a time.
#include <assert.h>
#include <string.h>

#include <algorithm>
#include <array>

#include "codec/encode_parse.h"
#include "codec/format.h"
#include "codec/sizes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TZF_PARSE_VECTOR 1
#endif

namespace {

// Pixels one vector step compares from the current pixel.
constexpr uint64_t kWindow = 16;
static_assert(kWindow > kMinRun && kWindow - kMinRun + 1 < 32, "the start mask fits 32 bits");

// What a step decides at the current pixel: a run of `run` pixels from
// table entry `entry`, or else `literals` literal pixels (at least one).
struct Step {
  uint32_t run = 0;
  uint8_t entry = 0;
  uint32_t literals = 1;
};

// The streams as they are written: flags in place, literals from past the
// most flag bytes there can be, commands in the work until the end.
struct Streams {
  uint8_t* flags;
  uint8_t* commands;
  uint8_t* literals;
  uint8_t* literals_end;  // the end of the room for them
  uint64_t tokens = 0;
  uint64_t literal_pixels = 0, runs = 0, run_pixels = 0;
};

// Writes `count` literals from `keys`. `wide`: the literal stream has room
// for more literals after these (the vector step holds kWindow pixels from
// the first), so each key may be stored as four bytes, the fourth to be
// overwritten; little-endian processors only, as the vector step's are.
void put_literals(Streams& s, const uint32_t* keys, uint32_t count, bool wide) {
  uint8_t* out = s.literals;
  if (wide) {
    assert(out + 3 * count + 1 <= s.literals_end);
    for (uint32_t k = 0; k < count; ++k, out += 3) memcpy(out, keys + k, 4);
  } else {
    for (uint32_t k = 0; k < count; ++k, out += 3) {
      out[0] = static_cast<uint8_t>(keys[k]);
      out[1] = static_cast<uint8_t>(keys[k] >> 8);
      out[2] = static_cast<uint8_t>(keys[k] >> 16);
    }
  }
  s.literals = out;
}

void put_literals(Streams& s, const uint8_t* indices, uint32_t count, bool /*wide*/) {
  memcpy(s.literals, indices, count);
  s.literals += count;
}

// The longest match at pixel p, one pixel at a time: obviously right, and
// used wherever the vector step's margins do not hold.
template <typename Key>
Step portable_step(const Key* keys, uint64_t p, uint64_t n, const ParseSources& sources) {
  const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(kMaxRun, n - p));
  Step step;
  for (size_t s = 0; s < sources.count; ++s) {
    const ParseSource& source = sources.items[s];
    if (p < static_cast<uint64_t>(-source.offset)) continue;  // reaches before the first pixel
    const Key* a = keys + p;
    const Key* b = a + source.offset;
    uint32_t len = 0;
    while (len < limit && a[len] == b[len]) ++len;
    if (len > step.run) {
      step.run = len;
      step.entry = source.entry;
    }
  }
  if (step.run < kMinRun) step.run = 0;
  return step;
}

#if TZF_PARSE_VECTOR

// Bit j set when a[j] == b[j], for j below kWindow.
uint32_t equal_mask(const uint32_t* a, const uint32_t* b) {
  const __m128i* va = reinterpret_cast<const __m128i*>(a);
  const __m128i* vb = reinterpret_cast<const __m128i*>(b);
  const __m128i e0 = _mm_cmpeq_epi32(_mm_loadu_si128(va + 0), _mm_loadu_si128(vb + 0));
  const __m128i e1 = _mm_cmpeq_epi32(_mm_loadu_si128(va + 1), _mm_loadu_si128(vb + 1));
  const __m128i e2 = _mm_cmpeq_epi32(_mm_loadu_si128(va + 2), _mm_loadu_si128(vb + 2));
  const __m128i e3 = _mm_cmpeq_epi32(_mm_loadu_si128(va + 3), _mm_loadu_si128(vb + 3));
  const __m128i e01 = _mm_packs_epi32(e0, e1);
  const __m128i e23 = _mm_packs_epi32(e2, e3);
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(e01, e23)));
}

uint32_t equal_mask(const uint8_t* a, const uint8_t* b) {
  const __m128i e = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
  return static_cast<uint32_t>(_mm_movemask_epi8(e));
}

// The step at pixel p from kWindow pixels at a time. Every source is inside
// the picture (p >= reach) and so are the kWindow pixels from p.
template <typename Key>
Step vector_step(const Key* keys, uint64_t p, uint64_t n, const ParseSources& sources) {
  assert(p >= sources.reach && p + kWindow <= n);
  constexpr uint32_t kFull = (1u << kWindow) - 1;
  const Key* a = keys + p;
  Step step;
  // First only whether a run can start at each pixel; the lengths are worked
  // out when one can start at p itself, which in photographs is rare.
  std::array<uint32_t, 16> masks;
  uint32_t starts = 0;  // bit j: some source matches kMinRun pixels from p + j
  for (size_t s = 0; s < sources.count; ++s) {
    const uint32_t m = equal_mask(a, a + sources.items[s].offset);
    masks[s] = m;
    starts |= m & m >> 1 & m >> 2;
  }
  if ((starts & 1) != 0) {
    for (size_t s = 0; s < sources.count; ++s) {
      const uint32_t m = masks[s];
      uint32_t len = static_cast<uint32_t>(__builtin_ctz(~m));
      if (m == kFull) {
        const Key* b = a + sources.items[s].offset;
        const uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(kMaxRun, n - p));
        while (len < limit && a[len] == b[len]) ++len;
      }
      if (len > step.run) {
        step.run = len;
        step.entry = sources.items[s].entry;
      }
    }
    assert(step.run >= kMinRun);
    return step;
  }
  // Starts are known for the first kWindow - kMinRun + 1 pixels; up to the
  // first of them every pixel is a literal.
  step.literals = static_cast<uint32_t>(__builtin_ctz(starts | 1u << (kWindow - kMinRun + 1)));
  assert(step.literals >= 1);
  return step;
}

// A byte of each true-colour key, equal for equal keys: sixteen of them are
// compared at once where sixteen keys take four compares. Unequal keys of
// equal bytes only send a step to the keys themselves.
uint8_t key_byte(uint32_t key) {
  key ^= key >> 11;
  key ^= key >> 5;
  return static_cast<uint8_t>(key);
}

void key_bytes(const uint32_t* keys, uint64_t n, uint8_t* bytes) {
  uint64_t i = 0;
  const __m128i low = _mm_set1_epi32(0xFF);
  for (; i + 16 <= n; i += 16) {
    __m128i v[4];
    for (int k = 0; k < 4; ++k) {
      __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + i) + k);
      x = _mm_xor_si128(x, _mm_srli_epi32(x, 11));
      x = _mm_xor_si128(x, _mm_srli_epi32(x, 5));
      v[k] = _mm_and_si128(x, low);
    }
    const __m128i packed =
        _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + i), packed);
  }
  for (; i < n; ++i) bytes[i] = key_byte(keys[i]);
}

// Pixels one compare of key bytes looks at from the current pixel: two
// vectors of sixteen.
constexpr uint64_t kByteWindow = 32;

// Whether a run can start at each of the kByteWindow - kMinRun + 1 pixels
// from p, by the key bytes: a bit clear means none can.
uint32_t byte_starts(const uint8_t* bytes, uint64_t p, uint64_t n, const ParseSources& sources) {
  assert(p >= sources.reach && p + kByteWindow <= n);
  (void)n;
  const uint8_t* a = bytes + p;
  uint32_t starts = 0;
  for (size_t s = 0; s < sources.count; ++s) {
    const uint8_t* b = a + sources.items[s].offset;
    const uint32_t m = equal_mask(a, b) | equal_mask(a + 16, b + 16) << 16;
    starts |= m & m >> 1 & m >> 2;
  }
  return starts;
}

#endif

template <typename Key>
bool parse_forward(const Key* keys, const ParseInput& in, uint64_t n, const ParseSources& sources,
                   bool vector, const uint8_t* bytes, Streams& s) {
  uint64_t next_row = 0;  // the pixel at which the next row starts
  for (uint64_t p = 0; p < n;) {
    if (p >= next_row) {
      const uint64_t rows = p / in.width;
      next_row = (rows + 1) * in.width;
      if (in.progress.report != nullptr &&
          !in.progress.report(in.progress.user, static_cast<uint32_t>(rows), in.height)) {
        return false;
      }
    }
    Step step;
    bool wide = false;
#if TZF_PARSE_VECTOR
    if (vector && p >= sources.reach && p + kWindow <= n) {
      const bool by_bytes = bytes != nullptr && p + kByteWindow <= n;
      const uint32_t starts = by_bytes ? byte_starts(bytes, p, n, sources) : 1;
      if ((starts & 1) != 0) {
        step = vector_step(keys, p, n, sources);
      } else {
        step.literals =
            static_cast<uint32_t>(__builtin_ctz(starts | 1u << (kByteWindow - kMinRun + 1)));
      }
      wide = true;
    } else {
      step = portable_step(keys, p, n, sources);
    }
#else
    (void)vector;
    (void)bytes;
    step = portable_step(keys, p, n, sources);
#endif
    if (step.run != 0) {
      s.flags[s.tokens >> 3] |= static_cast<uint8_t>(0x80u >> (s.tokens & 7));
      *s.commands++ = static_cast<uint8_t>(step.entry << 4 | (step.run - kMinRun));
      ++s.tokens;
      ++s.runs;
      s.run_pixels += step.run;
      p += step.run;
      continue;
    }
    put_literals(s, keys + p, step.literals, wide);
    s.tokens += step.literals;
    s.literal_pixels += step.literals;
    p += step.literals;
  }
  return true;
}

}  // namespace

bool parse_fast(const ParseInput& in, const ParseSources& sources, uint8_t* streams,
                ParseOutput& out) {
  const uint64_t n = pixel_total(in.width, in.height);
  const uint32_t bytes_per_pixel = in.indices != nullptr ? 1 : 3;
  const uint64_t most_flag_bytes = consumable_flag_bytes(n);
  memset(streams, 0, static_cast<size_t>(most_flag_bytes));
  Streams s{streams, static_cast<uint8_t*>(in.work), streams + most_flag_bytes,
            streams + most_flag_bytes + n * bytes_per_pixel};
  const bool vector = in.fast_parse == FastParse::kVector;
  // True colour: the key bytes after the command bytes' room in the work.
  uint8_t* bytes = nullptr;
#if TZF_PARSE_VECTOR
  if (vector && in.indices == nullptr) {
    bytes = static_cast<uint8_t*>(in.work) + consumable_command_bytes(n);
    key_bytes(in.keys, n, bytes);
  }
#endif
  const bool parsed = in.indices != nullptr
                          ? parse_forward(in.indices, in, n, sources, vector, nullptr, s)
                          : parse_forward(in.keys, in, n, sources, vector, bytes, s);
  if (!parsed) return false;

  ParseOutput o{};
  o.literal_pixels = s.literal_pixels;
  o.runs = s.runs;
  o.run_pixels = s.run_pixels;
  o.flag_bytes = consumable_flag_bytes(s.tokens);
  o.command_bytes = s.runs;
  o.literal_bytes = s.literal_pixels * bytes_per_pixel;
  // The literals move up against the commands, then the commands go in
  // between: each run took one flag bit, one command byte and at least
  // kMinRun pixels, so the streams end inside the room the caller gave.
  assert(o.flag_bytes + o.command_bytes + o.literal_bytes <= most_flag_bytes + n * bytes_per_pixel);
  memmove(streams + o.flag_bytes + o.command_bytes, streams + most_flag_bytes,
          static_cast<size_t>(o.literal_bytes));
  memcpy(streams + o.flag_bytes, in.work, static_cast<size_t>(o.command_bytes));
  out = o;
  return true;
}
