// The pixel decoder.
//
// Decisions are taken from the flag stream a word at a time: the count of
// leading zero bits is the literal stretch before the next run, and a stretch
// that reaches past the loaded bits goes on over whole zero flag bytes. A
// literal stretch is copied in one block, clipped at the row end (the rest is
// carried into the next row). Runs are copied with fixed-size block copies
// whenever the room left in the pixel block and the picture geometry allow it;
// every other run (sources before the picture or overlapping the run's own
// pixels in a short period, runs or sources crossing a padded row end, runs
// near the end of the block or past the last pixel) goes through an exact
// piece-by-piece copy.
//
// Fixed-size copies may write up to kCopyMargin bytes past the bytes they are
// meant to write. They are only used when those bytes lie inside the block,
// and the extra bytes always belong to pixels or row pad not written yet:
// everything is written in decoding order and rewritten before the end.
//
// Rows that follow each other upwards without a gap are one contiguous run
// of pixels: pixel i starts at byte i * bytes_per_pixel, so a run crossing a
// row end is a plain copy. With a gap between rows, or rows going down in
// memory, the byte distance from a pixel to its source is the same for every
// pixel of a run only while the run and its source each stay inside one row;
// runs near the row ends are checked against the row's columns. Rows going
// down in memory keep every fixed-size copy inside the row it writes, since
// the bytes past a row's end there belong to rows already decoded.
#include "codec/pixel_decoder.h"

#include <assert.h>
#include <string.h>

#include <bit>

#include "codec/format.h"

namespace {

// Bytes a fixed-size copy may write past the bytes it is meant to write,
// counted from the copy's first byte.
constexpr size_t kCopyMargin = 64;

// Bytes a run's source may stand further along its row than the run's
// target: three pixels (the largest dx) of three bytes.
constexpr size_t kSourceAhead = 9;

// Where a run is copied by a fixed-size copy.
enum RunKind : uint8_t {
  kExactOnly,    // always copied piece by piece
  kFar,          // the source ends before the run starts: one 64- or 32-byte copy
  kChunks,       // overlapping, period at least 16 bytes: 16-byte steps
  kPattern12,    // 24-bit, four pixels back in the same row
  kPattern4,     // 8-bit, four pixels back in the same row
  kPatternShort  // any other period under 16 bytes
};

// Rows going down: bytes past a row's end that fixed-size copies may
// overwrite, saved before the row and put back after it (they belong to the
// gap and the row decoded before). Fixed-size copies read them only as the
// sources of runs in the row's first kSpill bytes (a source lies at most 4
// pixels before its target's column), before anything has spilled: a
// decision writes at most 2 * kCopyMargin bytes from where it starts, and the
// row is at least kMinSpillRow long. Runs copied piece by piece late in the
// row may read them, so they are put back first. Only from the fifth row on,
// so that every source row has a row after it in memory for loads past its
// end.
constexpr size_t kSpill = 256;
constexpr uint64_t kMinSpillRow = 2 * kSpill;
constexpr int32_t kFirstSpillRow = 5;

// `low` of a command never copied by a fixed-size copy: a column (below
// 2^31) plus a literal stretch (under 64) minus it is at least 2^30, above
// any `span`.
constexpr uint32_t kNoColumn = 0xC0000000u;

// Everything the decoder needs to know about one command byte; 256 of them
// live on the stack while decoding, so the record is kept small.
struct RunCode {
  uint64_t first;  // lowest pixel index whose run sources are all inside the picture
  // Bytes from a target pixel back to its source (fast copies); negative
  // when the source lies higher in memory (rows going down).
  ptrdiff_t back;
  uint32_t low;    // rows with a gap: lowest first column of a fast copy
  uint32_t span;   // rows with a gap: columns from `low` where a fast copy may start
  uint8_t length;  // pixels
  uint8_t bytes;   // length * bytes per pixel
  int8_t dx;       // the displacement's columns
  RunKind kind;
};

// How the rows lie in memory.
enum Layout {
  kContiguous,  // upwards, no gap: one run of pixels
  kGapped,      // upwards, a gap after each row
  kDownward     // each row below the one before
};

// Geometry of the rows, for the exact path.
struct Block {
  uint8_t* pixels;  // row 0
  uint64_t width;
  uint64_t pixel_count;
  ptrdiff_t stride;
  uint32_t bytes_per_pixel;
};

inline uint8_t* pixel_address(const Block& b, uint64_t pixel) {
  return b.pixels + static_cast<ptrdiff_t>(pixel / b.width) * b.stride +
         (pixel % b.width) * b.bytes_per_pixel;
}

// Bytes from the end of one row's pixels to the start of the next row's.
inline ptrdiff_t row_step(const Block& b) {
  return b.stride - static_cast<ptrdiff_t>(b.width * b.bytes_per_pixel);
}

// Whether contiguous rows' pictures with commands copied only piece by
// piece skip the fast loop as a whole, so that it need not test each
// command for them (see decode_rows).
constexpr bool kSkipExactOnlyTest = sizeof(void*) == 8;

// Flag bits are held in one machine word: the next decision is its top bit.
// 32-bit builds use a 32-bit word, which stays in one register.
#if UINTPTR_MAX > 0xFFFFFFFFu
using FlagWord = uint64_t;
#else
using FlagWord = uint32_t;
#endif
constexpr uint32_t kWordBits = sizeof(FlagWord) * 8;

// The next sizeof(FlagWord) flag bytes, the first one on top.
inline FlagWord load_flag_word(const uint8_t* p) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  FlagWord v;
  memcpy(&v, p, sizeof v);
  if constexpr (sizeof(FlagWord) == 8) {
    return static_cast<FlagWord>(__builtin_bswap64(v));
  } else {
    return static_cast<FlagWord>(__builtin_bswap32(static_cast<uint32_t>(v)));
  }
#else
  FlagWord v = 0;
  for (size_t k = 0; k < sizeof v; ++k) v = static_cast<FlagWord>(v << 8 | p[k]);
  return v;
#endif
}

// Zero bits above the first 1 in the loaded flag bits (all of them for an
// empty word). A compiler builtin rather than std::countl_zero: this file is
// also built for newer processors (pixel_decoder_avx2.cpp), and an
// out-of-line copy of a library template from that build could be linked in
// for both.
inline uint32_t leading_zeros(FlagWord bits) {
#if defined(__GNUC__)
  if (bits == 0) return kWordBits;
  if constexpr (sizeof(FlagWord) == sizeof(unsigned long long)) {
    return static_cast<uint32_t>(__builtin_clzll(bits));
  } else {
    return static_cast<uint32_t>(__builtin_clz(bits));
  }
#else
  return static_cast<uint32_t>(std::countl_zero(bits));
#endif
}

// Literal decisions found in whole zero flag bytes from `next` on.
struct ZeroFlagBytes {
  const uint8_t* next;  // the first nonzero byte, or the end
  uint64_t literals;    // `endless` when the stream ends among them
};

ZeroFlagBytes count_zero_flag_bytes(const uint8_t* next, const uint8_t* end, uint64_t endless) {
  uint64_t literals = 0;
  while (end - next >= 8) {
    uint64_t word;
    memcpy(&word, next, 8);
    if (word != 0) break;
    next += 8;
    literals += 64;
  }
  while (next < end && *next == 0) {
    ++next;
    literals += 8;
  }
  return {next, next == end ? endless : literals};
}

// The row hook's calls made so far; reads of literals for a row wait for
// its call.
struct Progress {
  const DecodeJob* job;
  int32_t reported;  // rows whose call has been made
};

bool report_through(Progress& p, uint64_t row) {
  const DecodeJob& job = *p.job;
  while (static_cast<uint64_t>(p.reported) <= row && p.reported < job.height) {
    if (job.hook.before_row != nullptr &&
        !job.hook.before_row(job.hook.user, static_cast<uint32_t>(p.reported))) {
      return false;
    }
    ++p.reported;
  }
  return true;
}

// Stretches at least this long are read through a refill straight into the
// rows.
constexpr size_t kDirectRead = 65536;

// Copies `count` literal bytes for the pixels from `first_pixel` on to `out`
// the careful way: refills the chunk, reads long stretches directly,
// zero-fills past the data. Every refill waits for the row hook's call of
// the rows it serves.
DecodeResult literals_slow(LiteralFeed& s, Progress& progress, uint64_t first_pixel, uint8_t* out,
                           size_t count) {
  const uint64_t bpp = progress.job->bytes_per_pixel;
  const uint64_t width = static_cast<uint64_t>(progress.job->width);
  size_t done = 0;
  while (done < count) {
    size_t available = static_cast<size_t>(s.end - s.next);
    if (available == 0) {
      if (s.refill == nullptr) {
        if (s.missing_from == UINT64_MAX) s.missing_from = first_pixel + done / bpp;
        memset(out + done, 0, count - done);
        return kDecodeDone;
      }
      const bool direct = count - done >= kDirectRead || s.chunk == nullptr;
      const uint64_t last = first_pixel + (direct ? count - 1 : done) / bpp;
      if (!report_through(progress, last / width)) return kDecodeCancelled;
      if (direct) {
        return s.refill(s.user, out + done, count - done) ? kDecodeDone : kDecodeReadFailed;
      }
      if (!s.refill(s.user, s.chunk, kLiteralChunk)) return kDecodeReadFailed;
      s.next = s.chunk;
      s.end = s.chunk + kLiteralChunk;
      continue;
    }
    size_t take = count - done < available ? count - done : available;
    memcpy(out + done, s.next, take);
    s.next += take;
    done += take;
  }
  return kDecodeDone;
}

#if defined(__GNUC__)
#define TZF_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TZF_ALWAYS_INLINE inline
#endif
#if defined(__GNUC__) && (defined(__SSE2__) || !(defined(__i386__) || defined(__x86_64__)))
// Sixteen bytes held in a vector register.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
#else
// x86 without SSE2, where a 16-byte vector would be copied byte by byte:
// four words.
struct Bytes16 {
  uint32_t w[4];
};
#endif

// Fixed-size copies: every load is done before any store, so a source that
// overlaps the target past the bytes that matter does no harm.
TZF_ALWAYS_INLINE void copy16(uint8_t* to, const uint8_t* from) {
  Bytes16 a;
  memcpy(&a, from, 16);
  memcpy(to, &a, 16);
}

TZF_ALWAYS_INLINE void copy32(uint8_t* to, const uint8_t* from) {
  Bytes16 a, b;
  memcpy(&a, from, 16);
  memcpy(&b, from + 16, 16);
  memcpy(to, &a, 16);
  memcpy(to + 16, &b, 16);
}

TZF_ALWAYS_INLINE void copy64(uint8_t* to, const uint8_t* from) {
  Bytes16 a, b, c, d;
  memcpy(&a, from, 16);
  memcpy(&b, from + 16, 16);
  memcpy(&c, from + 32, 16);
  memcpy(&d, from + 48, 16);
  memcpy(to, &a, 16);
  memcpy(to + 16, &b, 16);
  memcpy(to + 32, &c, 16);
  memcpy(to + 48, &d, 16);
}

// Repeats the `period` bytes before `to` over `bytes` bytes (period < 16);
// may write up to 15 bytes more.
void repeat_short(uint8_t* to, size_t period, size_t bytes) {
  uint8_t pattern[16];
  const uint8_t* from = to - period;
  for (size_t k = 0; k < 16; ++k) pattern[k] = from[k % period];
  const size_t step = 16 - 16 % period;
  for (size_t done = 0; done < bytes; done += step) memcpy(to + done, pattern, 16);
}

// One run of pixels, piece by piece: each piece keeps its target and its
// source inside one row. Handles sources before the picture or not yet
// decoded, and stops at the last pixel.
void copy_run_exact(const Block& b, uint64_t first, uint32_t length, int64_t offset) {
  if (first >= b.pixel_count) return;
  uint64_t left = b.pixel_count - first;
  if (left > length) left = length;
  const uint32_t bpp = b.bytes_per_pixel;
  uint64_t target = first;
  if (offset >= 0) {
    for (; left != 0; --left, ++target) memset(pixel_address(b, target), 0, bpp);
    return;
  }
  const uint64_t back = static_cast<uint64_t>(-offset);
  for (; left != 0 && target < back; --left, ++target) {
    memset(pixel_address(b, target), 0, bpp);
  }
  if (left == 0) return;
  uint64_t source = target - back;
  uint64_t target_column = target % b.width;
  uint64_t source_column = source % b.width;
  uint8_t* to = pixel_address(b, target);
  const uint8_t* from = pixel_address(b, source);
  while (left != 0) {
    uint64_t piece = left;
    if (piece > b.width - target_column) piece = b.width - target_column;
    if (piece > b.width - source_column) piece = b.width - source_column;
    // Forward, byte by byte: a source overlapping the piece repeats.
    const size_t bytes = static_cast<size_t>(piece) * bpp;
    for (size_t k = 0; k < bytes; ++k) to[k] = from[k];
    left -= piece;
    target_column += piece;
    source_column += piece;
    to += bytes;
    from += bytes;
    const ptrdiff_t pad = row_step(b);
    if (target_column == b.width) {
      target_column = 0;
      to += pad;
    }
    if (source_column == b.width) {
      source_column = 0;
      from += pad;
    }
  }
}

// Padded rows: a run whose sources are all inside the picture and which
// ends at or before the last pixel, but which (or whose source) crosses a
// row end. Rows are wider than a run and its displacement, so the run and
// its source each cross a row end at most once: at most three pieces, each
// with one byte distance. `column` is the target's column. A piece is copied
// by a fixed-size copy only below `fast_end` (null: never).
void copy_run_edge(const Block& b, uint8_t* to, uint64_t column, const RunCode& code,
                   const uint8_t* fast_end) {
  const uint32_t bpp = b.bytes_per_pixel;
  const ptrdiff_t pad = row_step(b);
  const uint8_t* from = to - code.back;
  int64_t source_column = static_cast<int64_t>(column) + code.dx;
  if (source_column < 0) {
    source_column += static_cast<int64_t>(b.width);
    from -= pad;
  } else if (source_column >= static_cast<int64_t>(b.width)) {
    source_column -= static_cast<int64_t>(b.width);
    from += pad;
  }
  uint64_t target_left = b.width - column;  // pixels to the target row end
  uint64_t source_left = b.width - static_cast<uint64_t>(source_column);
  uint64_t left = code.length;
  while (left != 0) {
    uint64_t piece = left;
    if (piece > target_left) piece = target_left;
    if (piece > source_left) piece = source_left;
    const size_t bytes = static_cast<size_t>(piece) * bpp;
    if (to < fast_end && to - from >= static_cast<ptrdiff_t>(bytes)) {
      assert(code.back > 0);
      copy64(to, from);  // the bytes past the piece are rewritten later
    } else {
      for (size_t k = 0; k < bytes; ++k) to[k] = from[k];  // forward: repeats
    }
    left -= piece;
    to += bytes;
    from += bytes;
    target_left -= piece;
    source_left -= piece;
    if (target_left == 0) {
      target_left = b.width;
      to += pad;
    }
    if (source_left == 0) {
      source_left = b.width;
      from += pad;
    }
  }
}

// `span_bytes`: bytes from the lowest row's start to the highest row's end.
void build_run_codes(RunCode (&codes)[256], const DecodeJob& job, bool by_rows,
                     uint64_t span_bytes) {
  const int64_t width = job.width;
  const uint32_t bpp = job.bytes_per_pixel;
  const uint64_t stride_bytes = static_cast<uint64_t>(job.stride < 0 ? -job.stride : job.stride);
  // What depends on the displacement (the command's high four bits) first,
  // then each run length.
  for (uint32_t high_bits = 0; high_bits < 16; ++high_bits) {
    const uint8_t first_command = static_cast<uint8_t>(high_bits << 4);
    const Displacement& d = kDisplacementTable[high_bits];
    const int64_t offset = displacement_offset(first_command, job.width);
    // Sources rows back lie outside the rows when the stride alone takes
    // them past the span (a one-row picture takes any stride). Otherwise
    // |dy x stride| <= span_bytes < 2^63, and the byte distance back to the
    // source while both stay in their rows cannot overflow.
    const uint64_t rows_back = static_cast<uint64_t>(d.dy < 0 ? -d.dy : d.dy);
    const bool past_the_rows = rows_back != 0 && stride_bytes > span_bytes / rows_back;
    const int64_t back = past_the_rows
                             ? 0
                             : -(static_cast<int64_t>(d.dy) * static_cast<int64_t>(job.stride) +
                                 static_cast<int64_t>(d.dx) * bpp);
    const uint64_t distance = static_cast<uint64_t>(back < 0 ? -back : back);
    // Fast copies are never used: every source is the pixel itself or later
    // (zeros), or lies past the target or the rows, or the byte distance
    // differs from the pixel distance in contiguous rows.
    const bool exact_only = past_the_rows || offset >= 0 || back == 0 || distance > span_bytes ||
                            (back < 0 && job.stride > 0) ||
                            (!by_rows && back != -offset * static_cast<int64_t>(bpp));
    const int64_t low = d.dx < 0 ? -d.dx : 0;
    for (uint32_t c = first_command; c < first_command + 16u; ++c) {
      RunCode& code = codes[c];
      code.length = static_cast<uint8_t>(run_length(static_cast<uint8_t>(c)));
      code.bytes = static_cast<uint8_t>(code.length * bpp);
      code.first = UINT64_MAX;
      code.back = 0;
      code.low = kNoColumn;  // fails every column test
      code.span = 0;
      code.kind = kExactOnly;
      code.dx = static_cast<int8_t>(d.dx);
      if (exact_only) continue;
      if (by_rows) {
        const int64_t high = width - code.length - (d.dx > 0 ? d.dx : 0);
        if (high < low) continue;
        code.low = static_cast<uint32_t>(low);
        code.span = static_cast<uint32_t>(high - low);
      }
      code.first = static_cast<uint64_t>(-offset);
      code.back = static_cast<ptrdiff_t>(back);
      // Rows going down: a source in an earlier row lies higher in memory, in
      // another row than the one written, so the copy is a plain one.
      if (code.back < 0 || code.back >= code.bytes) {
        code.kind = kFar;
      } else if (code.back >= 16) {
        code.kind = kChunks;
      } else if (code.back == 12 && bpp == 3) {
        code.kind = kPattern12;
      } else if (code.back == 4 && bpp == 1) {
        code.kind = kPattern4;
      } else {
        code.kind = kPatternShort;
      }
    }
  }
}

// A run at `to` whose source overlaps it, by fixed-size copies; needs
// kCopyMargin bytes of room.
void copy_run_overlapping(uint8_t* to, const RunCode& code) {
  const uint8_t* from = to - code.back;
  switch (code.kind) {
    case kChunks:
      for (size_t done = 0; done < code.bytes; done += 16) copy16(to + done, from + done);
      break;
    case kPattern12: {
      uint8_t pattern[16];
      memcpy(pattern, from, 12);
      memcpy(pattern + 12, from, 4);
      for (size_t done = 0; done < code.bytes; done += 12) memcpy(to + done, pattern, 16);
      break;
    }
    case kPattern4: {
      uint32_t four;
      memcpy(&four, from, 4);
      const uint32_t pattern[4] = {four, four, four, four};
      memcpy(to, pattern, 16);
      memcpy(to + 16, pattern, 16);
      break;
    }
    default:
      repeat_short(to, code.back, code.bytes);
      break;
  }
}

// Bytes from the lowest row's start to the highest row's end. The caller
// has checked that this fits in memory, so it fits in 64 bits.
uint64_t rows_span(const DecodeJob& job) {
  const uint64_t distance = static_cast<uint64_t>(job.stride < 0 ? -job.stride : job.stride);
  return distance * static_cast<uint64_t>(job.height - 1) +
         static_cast<uint64_t>(job.width) * job.bytes_per_pixel;
}

// kRunsFollowRuns: most runs follow a run (runs_mostly_follow_runs).
template <uint32_t kBpp, Layout kLayout, bool kRunsFollowRuns>
DecodeResult decode_rows(const DecodeJob& job, LiteralFeed& literal) {
  // Literals and runs stop at every row end, except in contiguous rows.
  constexpr bool kPadded = kLayout != kContiguous;
  constexpr bool kDown = kLayout == kDownward;
  const uint64_t width = static_cast<uint64_t>(job.width);
  const uint64_t row_bytes = width * kBpp;
  const ptrdiff_t stride = job.stride;
  const uint64_t span_bytes = rows_span(job);
  const uint64_t pixel_count = width * static_cast<uint64_t>(job.height);
  const size_t gap =
      static_cast<size_t>((stride < 0 ? -stride : stride) - static_cast<ptrdiff_t>(row_bytes));
  uint8_t* const pixels = job.first_row;
  assert(kDown == (stride < 0));
  assert(kPadded == (gap != 0 || kDown));
  // Rows going up: a fixed-size copy may start below this address; going
  // down, each row has its own limits.
  const uint8_t* const fast_end =
      kDown ? nullptr : pixels + (span_bytes >= kCopyMargin ? span_bytes - kCopyMargin + 1 : 0);
  const Block block{pixels, width, pixel_count, stride, kBpp};

  RunCode codes[256];
  build_run_codes(codes, job, kPadded, span_bytes);

  // The decoding state, in locals so that it stays in registers.
  // Next flag on top of `bits`; below the `count` valid bits (fewer than a
  // word's), zeros or the true bits that follow.
  FlagWord bits = 0;
  uint32_t count = 0;
  const uint8_t* flag = job.flags;
  const uint8_t* const flag_end = job.flags + job.flag_count;
  const uint8_t* command = job.commands;
  const uint8_t* const command_end = job.commands + job.command_count;
  const uint8_t* literal_next = literal.next;
  const uint8_t* literal_end = literal.end;
  uint64_t pending = 0;  // literal decisions taken but not yet written
  uint64_t pixel = 0;    // next pixel to write
  Progress progress{&job, 0};

  // The fast loop takes whole decisions (a literal stretch of at most 64
  // bytes, then a run by fixed-size copies) from this pixel on, where every
  // run's sources are inside the picture. Contiguous rows have a command
  // copied only piece by piece when the picture is at most 3 pixels wide or
  // 4 rows high. 64-bit builds decode such pictures without the fast loop,
  // which then needs no test for those commands; 32-bit x86 builds, short of
  // registers, measured faster keeping the test.
  uint64_t safe_first = 0;
  for (const RunCode& code : codes) {
    if (!kPadded && kSkipExactOnlyTest && code.kind == kExactOnly) safe_first = UINT64_MAX;
    if (code.kind != kExactOnly && code.first > safe_first) safe_first = code.first;
  }
  // ...and below this address, which leaves room for both copies' margins.
  constexpr size_t kDecisionMargin = 2 * kCopyMargin;
  const uint8_t* const fast_limit =
      kDown ? nullptr : pixels + (span_bytes >= kDecisionMargin ? span_bytes - kDecisionMargin : 0);

  // Rows going down: bytes past the row's end, where fixed-size copies may
  // spill, kept while the row is decoded.
  uint8_t saved[kSpill];

  // Literals for `n` pixels at `to` the careful way.
  auto literals_careful = [&](uint8_t* to, uint64_t n) {
    literal.next = literal_next;
    literal.end = literal_end;
    DecodeResult read = literals_slow(literal, progress, pixel, to, static_cast<size_t>(n) * kBpp);
    literal_next = literal.next;
    literal_end = literal.end;
    return read;
  };

  for (int32_t row = 0; row < job.height; ++row) {
    if (progress.reported <= row && !report_through(progress, static_cast<uint32_t>(row))) {
      return kDecodeCancelled;
    }
    const uint64_t row_first = static_cast<uint64_t>(row) * width;
    const uint64_t row_end = row_first + width;
    // Literals and runs stop at the row end in padded rows, at the last
    // pixel in contiguous ones.
    const uint64_t stop = kPadded ? row_end : pixel_count;
    uint8_t* const row_start = pixels + static_cast<ptrdiff_t>(row) * stride;
    // Rows going down keep fixed-size copies inside the row, and their loads
    // inside the source's row: a source lies at most kSourceAhead bytes
    // further along its row than the target along its own. Except where the
    // row may spill: then copies may write up to kSpill bytes past its end,
    // which are saved before and put back after the row.
    // Runs copied piece by piece may read those bytes (a source crossing
    // into the row decoded before, or a run crossing into the next row), so
    // they are put back before such a run, and the row goes on without
    // spilling.
    bool spill = kDown && row >= kFirstSpillRow && row_bytes >= kMinSpillRow;
    uint8_t* const row_after = row_start + row_bytes;
    if (spill) {
      for (size_t k = 0; k < kSpill; k += 64) copy64(saved + k, row_after + k);
    }
    const uint8_t* const row_kept_end =
        row_start +
        (row_bytes >= kCopyMargin + kSourceAhead ? row_bytes - kCopyMargin - kSourceAhead + 1 : 0);
    const uint8_t* const row_kept_limit =
        row_start + (row_bytes >= kDecisionMargin + kSourceAhead
                         ? row_bytes - kDecisionMargin - kSourceAhead
                         : 0);
    const uint8_t* row_fast_end = !kDown  ? fast_end
                                  : spill ? row_after + (kSpill - kCopyMargin + 1)
                                          : row_kept_end;
    const uint8_t* row_fast_limit = !kDown  ? fast_limit
                                    : spill ? row_after + (kSpill - kDecisionMargin)
                                            : row_kept_limit;
    auto stop_spilling = [&](const uint8_t* to) {
      // Before kSpill bytes into the row nothing has spilled yet, and a run
      // there reads at most the first kSpill bytes of the row before.
      if (!kDown || !spill || to < row_start + kSpill) return;
      for (size_t k = 0; k < kSpill; k += 64) copy64(row_after + k, saved + k);
      spill = false;
      row_fast_end = row_kept_end;
      row_fast_limit = row_kept_limit;
    };
    while (pixel < row_end) {
      uint8_t* to = kPadded ? row_start + (pixel - row_first) * kBpp : pixels + pixel * kBpp;
      if (pending == 0 && pixel >= safe_first && to < row_fast_limit) {
        // Contiguous rows: decisions may end past the row end. Padded rows:
        // each run must start in the row, with its source in one row.
        const uint8_t* row_limit = kPadded ? row_start + width * kBpp : pixels + row_end * kBpp;
        const uint8_t* const limit = row_limit < row_fast_limit ? row_limit : row_fast_limit;
        uint64_t column = pixel - row_first;  // padded rows only
        uint8_t* const from_to = to;
        uint8_t scratch[64];
        // Each decision takes one command and at most 63 literal bytes, and
        // needs 64 literal bytes at hand: commands below `command_stop`
        // have both.
        const size_t literal_left = static_cast<size_t>(literal_end - literal_next);
        const size_t command_left = static_cast<size_t>(command_end - command);
        size_t decisions = literal_left < 64 ? 0 : (literal_left - 64) / 63 + 1;
        if (decisions > command_left) decisions = command_left;
        const uint8_t* command_stop = command + decisions;
        // One step of a literal stretch, `n` pixels of at most 63 bytes by
        // one fixed-size copy; it takes the literal room of one decision.
        auto literal_step = [&](uint32_t n) {
          --command_stop;
          copy64(to, literal_next);
          literal_next += n * kBpp;
          to += n * kBpp;
          bits <<= n;
          count -= n;
        };
        while (to < limit) {
          if (count < kWordBits / 2) {
            if (flag_end - flag < static_cast<ptrdiff_t>(sizeof(FlagWord))) break;
            bits |= load_flag_word(flag) >> count;
            flag += (kWordBits - 1 - count) >> 3;
            count |= kWordBits - 8;
          }
          const uint32_t zeros = leading_zeros(bits);
          if (kRunsFollowRuns && zeros == 0) {
            // Runs that follow runs, as many as the loaded bits show, in a
            // loop of their own. Each is taken as a decision below would
            // take it; a run that needs more (a pattern, a row end) is left
            // to that.
            uint32_t ones = leading_zeros(static_cast<FlagWord>(~bits));
            if (ones > count) ones = count;
            const uint8_t* const runs_end =
                static_cast<size_t>(command_stop - command) < ones ? command_stop : command + ones;
            const uint8_t* const runs_start = command;
            while (command != runs_end && to < limit) {
              const RunCode& code = codes[*command];
              if (code.kind != kFar) break;
              if (kPadded) {
                if (static_cast<uint32_t>(column - code.low) > code.span) break;
                column += code.length;
              }
              assert(to + kDecisionMargin <= (!kDown  ? pixels + span_bytes
                                              : spill ? row_after + kSpill
                                                      : row_after - kSourceAhead));
              if (kBpp == 3) {
                copy64(to, to - code.back);
              } else {
                copy32(to, to - code.back);
              }
              to += code.bytes;
              ++command;
            }
            const uint32_t taken = static_cast<uint32_t>(command - runs_start);
            if (taken != 0) {
              bits <<= taken;
              count -= taken;
              continue;
            }
          }
          const size_t literal_bytes = static_cast<size_t>(zeros) * kBpp;
          if (zeros >= count || literal_bytes > 63) {
            // A long literal stretch: a step of at most 63 bytes of it, as
            // much as the loaded bits show, that stays in the row. It takes
            // the literal bytes of one decision and no command.
            const uint32_t most = kBpp == 1 ? 63 : 21;
            uint32_t n = count < most ? count : most;
            if (n == 0 || command == command_stop) break;
            if (kPadded) {
              // Padded rows: the step stops at the row end (`to` is inside
              // the row), and the next row's decisions take the rest of the
              // stretch from the bits.
              if (column + n > width) {
                if (kBpp != 1) break;
                n = static_cast<uint32_t>(width - column);
              }
              column += n;
            }
            literal_step(n);
            if (kBpp == 1 && count == 0) {
              // The loaded bits are used up at a flag byte's start: the
              // stretch goes on over whole zero flag words, 64 bytes a step
              // that stays below `limit` (in the row, when rows are padded).
              // A step takes the literal bytes of two decisions.
              while (flag_end - flag >= 8 && limit - to >= 64 && command_stop - command >= 2) {
                uint64_t word;
                memcpy(&word, flag, 8);
                if (word != 0) break;
                assert(to + kCopyMargin <= (!kDown  ? pixels + span_bytes
                                            : spill ? row_after + kSpill
                                                    : row_after));
                copy64(to, literal_next);
                flag += 8;
                to += 64;
                literal_next += 64;
                command_stop -= 2;
                if (kPadded) column += 64;
              }
            }
            continue;
          }
          if (command == command_stop) break;
          const RunCode& code = codes[*command];
          // Room for both copies' margins inside the rows' span, or inside
          // the row when rows go down; the run's sources are in the picture.
          assert(to + kDecisionMargin <= (!kDown  ? pixels + span_bytes
                                          : spill ? row_after + kSpill
                                                  : row_after - kSourceAhead));
          // Padded rows: the column test below turns down kExactOnly.
          if (!kPadded && !kSkipExactOnlyTest && code.kind == kExactOnly) break;
          assert(kPadded || code.kind != kExactOnly);
          if (kPadded && kBpp == 1 && column + zeros >= width) {
            // The literals reach the row end: this row's share of them, as
            // a step of a long stretch; the rest and the run follow in the
            // next row.
            const uint32_t n = static_cast<uint32_t>(width - column);
            literal_step(n);
            column += n;
            continue;
          }
          if (kPadded) {
            if (static_cast<uint32_t>(column + zeros - code.low) > code.span) break;
            column += zeros + code.length;
          }
          // The literal copy may write up to 64 bytes; the run rewrites
          // what lies past the literals.
          // 24-bit: a 32-byte copy, and a second one for longer stretches.
          // An empty stretch is copied too: a test that skipped the copy
          // would miss often.
          // 8-bit: an empty stretch is copied to a scratch block, so that
          // the run's loads do not wait on stores they only seem to overlap.
          if (kBpp == 3) {
            copy32(to, literal_next);
            if (literal_bytes > 32) copy32(to + 32, literal_next + 32);
          } else {
            copy64(zeros != 0 ? to : scratch, literal_next);
          }
          literal_next += literal_bytes;
          to += literal_bytes;
          bits <<= zeros + 1;
          count -= zeros + 1;
          ++command;
          if (code.kind == kFar) {
            if (kBpp == 3) {
              copy64(to, to - code.back);
            } else {
              copy32(to, to - code.back);
            }
          } else {
            copy_run_overlapping(to, code);
          }
          to += code.bytes;
        }
        // Padded rows: `to` never passes the row's pixels here.
        pixel += static_cast<uint64_t>(to - from_to) / kBpp;
        if (to != from_to) continue;
      }
      if (pending != 0) {
        const uint64_t n = stop - pixel < pending ? stop - pixel : pending;
        // The rest of a stretch carried over a row end, often short.
        if (kPadded && n * kBpp <= 64 && literal_end - literal_next >= 64 && to < row_fast_end) {
          assert(to + kCopyMargin <= (!kDown  ? pixels + span_bytes
                                      : spill ? row_after + kSpill
                                              : row_after));
          copy64(to, literal_next);
          literal_next += n * kBpp;
        } else if (DecodeResult read = literals_careful(to, n); read != kDecodeDone) {
          return read;
        }
        pending -= n;
        pixel += n;
        continue;
      }
      if (count < kWordBits / 2) {
        if (flag_end - flag >= static_cast<ptrdiff_t>(sizeof(FlagWord))) {
          bits |= load_flag_word(flag) >> count;
          flag += (kWordBits - 1 - count) >> 3;
          count |= kWordBits - 8;
        } else {
          for (; count <= kWordBits - 9; count += 8) {
            const uint64_t byte = flag < flag_end ? *flag++ : 0u;
            bits |= static_cast<FlagWord>(byte << (kWordBits - 8 - count));
          }
        }
      }
      const uint32_t zeros = leading_zeros(bits);
      if (zeros >= count) {
        // Only literals in the loaded bits: the stretch goes on over whole
        // zero bytes.
        const ZeroFlagBytes more = count_zero_flag_bytes(flag, flag_end, pixel_count);
        flag = more.next;
        pending = count + more.literals;
        bits = 0;
        count = 0;
        continue;
      }
      if (zeros != 0) {
        bits <<= zeros;
        count -= zeros;
        uint64_t n = zeros;
        if (n > stop - pixel) {
          n = stop - pixel;
          pending = zeros - n;
        }
        const size_t bytes = static_cast<size_t>(n) * kBpp;
        if (bytes <= 32 && literal_end - literal_next >= 32 && to < row_fast_end) {
          copy32(to, literal_next);
          literal_next += bytes;
        } else if (bytes <= 64 && literal_end - literal_next >= 64 && to < row_fast_end) {
          copy64(to, literal_next);
          literal_next += bytes;
        } else if (DecodeResult read = literals_careful(to, n); read != kDecodeDone) {
          return read;
        }
        pixel += n;
        if (pending != 0 || (kPadded && pixel == row_end)) continue;
        to += bytes;
      }
      bits <<= 1;
      count -= 1;
      const uint8_t command_byte = command < command_end ? *command++ : 0u;
      const RunCode& code = codes[command_byte];
      bool fast = pixel >= code.first && to < row_fast_end;
      if (kPadded) fast = fast && static_cast<uint32_t>(pixel - row_first - code.low) <= code.span;
      if (fast && code.kind == kFar) {
        if (kBpp == 3) {
          copy64(to, to - code.back);
        } else {
          copy32(to, to - code.back);
        }
      } else if (fast) {
        copy_run_overlapping(to, code);
      } else if (kPadded && width >= 32 && pixel >= code.first &&
                 pixel_count - pixel >= code.length) {
        stop_spilling(to);
        copy_run_edge(block, to, pixel - row_first, code, fast_end);
      } else {
        stop_spilling(to);
        copy_run_exact(block, pixel, code.length, displacement_offset(command_byte, job.width));
      }
      pixel += code.length;
    }
    stop_spilling(row_after);
    // The gap after the row, unless it lies past the rows' span.
    const bool last_in_memory = kDown ? row == 0 : row == job.height - 1;
    if (kPadded && gap != 0 && !last_in_memory) memset(row_start + row_bytes, 0, gap);
  }
  literal.next = literal_next;
  literal.end = literal_end;
  return kDecodeDone;
}

// 1 bits in `v`.
inline uint64_t count_ones(uint64_t v) {
  v -= (v >> 1) & 0x5555555555555555u;
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return (v * 0x0101010101010101u) >> 56;
}

// Whether most runs follow a run, judged from 32 samples of 16 bytes spread
// over the flag stream: at least three quarters of the 1 bits are followed
// by a 1. The decoder then takes runs that follow runs in a loop of their
// own; elsewhere its tests would miss often.
bool runs_mostly_follow_runs(const DecodeJob& job) {
  constexpr size_t kSamples = 32;
  constexpr size_t kSampleBytes = 16;
  uint64_t runs = 0;
  uint64_t runs_after_runs = 0;
  for (size_t sample = 0; sample < kSamples; ++sample) {
    const size_t start = job.flag_count / kSamples * sample;
    const size_t end =
        job.flag_count - start < kSampleBytes ? job.flag_count : start + kSampleBytes;
    for (size_t at = start; at + 8 <= end; at += 8) {
      uint64_t word = 0;  // the first flag on top
      for (size_t k = 0; k < 8; ++k) word = word << 8 | job.flags[at + k];
      runs += count_ones(word);
      runs_after_runs += count_ones(word & word << 1);
    }
  }
  return runs != 0 && runs_after_runs * 4 >= runs * 3;
}

template <uint32_t kBpp, bool kRunsFollowRuns>
DecodeResult decode_in_layout(const DecodeJob& job, LiteralFeed& literals) {
  if (job.stride < 0) return decode_rows<kBpp, kDownward, kRunsFollowRuns>(job, literals);
  return job.stride == static_cast<ptrdiff_t>(job.width * kBpp)
             ? decode_rows<kBpp, kContiguous, kRunsFollowRuns>(job, literals)
             : decode_rows<kBpp, kGapped, kRunsFollowRuns>(job, literals);
}

DecodeResult decode_any(const DecodeJob& job, LiteralFeed& literals) {
  assert(job.width >= 1 && job.height >= 1);
  assert(job.stride <= -static_cast<ptrdiff_t>(job.width * job.bytes_per_pixel) ||
         job.stride >= static_cast<ptrdiff_t>(job.width * job.bytes_per_pixel));
#if defined(TZF_DECODER_ONE_LOOP)
  // Builds that keep the decoder small (the browser page's module) leave out
  // the loop for runs that follow runs.
  constexpr bool kRunsLoop = false;
#else
  constexpr bool kRunsLoop = true;
#endif
  if (kRunsLoop && runs_mostly_follow_runs(job)) {
    return job.bytes_per_pixel == 3 ? decode_in_layout<3, true>(job, literals)
                                    : decode_in_layout<1, true>(job, literals);
  }
  return job.bytes_per_pixel == 3 ? decode_in_layout<3, false>(job, literals)
                                  : decode_in_layout<1, false>(job, literals);
}

}  // namespace

#if defined(TZF_DECODER_SSE2_COPY)
// This file again, built with SSE2 (pixel_decoder_sse2.cpp).
DecodeResult decode_pixels_sse2(const DecodeJob& job, LiteralFeed& literals) {
  return decode_any(job, literals);
}
#elif defined(TZF_DECODER_AVX2_BUILD)
// This file again, built for newer x86-64 processors (pixel_decoder_avx2.cpp).
DecodeResult decode_pixels_avx2(const DecodeJob& job, LiteralFeed& literals) {
  return decode_any(job, literals);
}
#elif defined(TZF_DECODER_DISPATCH) && !defined(TZF_DECODER_PORTABLE_ONLY) && defined(__x86_64__)
// x86-64 builds are made for the first 64-bit processors: the copy built
// for processors with AVX2, BMI1, BMI2, LZCNT and MOVBE is taken where the
// processor has them and the system keeps the vector registers, asked once.
#include <cpuid.h>

DecodeResult decode_pixels_avx2(const DecodeJob& job, LiteralFeed& literals);

namespace {
bool processor_has_avx2_set() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const unsigned needed = bit_OSXSAVE | bit_AVX | bit_MOVBE;
  if ((c & needed) != needed) return false;
  unsigned saved = 0, saved_high = 0;  // register state the system saves
  __asm__("xgetbv" : "=a"(saved), "=d"(saved_high) : "c"(0));
  if ((saved & 6u) != 6u) return false;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const unsigned extended = bit_AVX2 | bit_BMI | bit_BMI2;
  if ((b & extended) != extended) return false;
  return __get_cpuid(0x80000001u, &a, &b, &c, &d) != 0 && (c & bit_LZCNT) != 0;
}
}  // namespace

DecodeResult decode_pixels(const DecodeJob& job, LiteralFeed& literals) {
  static const bool avx2 = processor_has_avx2_set();
  return avx2 ? decode_pixels_avx2(job, literals) : decode_any(job, literals);
}
#elif defined(TZF_DECODER_DISPATCH) && !defined(TZF_DECODER_PORTABLE_ONLY)
// 32-bit x86 builds run on processors without SSE2 too: the copy built with
// SSE2 is taken where the processor has it, asked once.
#include <cpuid.h>

DecodeResult decode_pixels_sse2(const DecodeJob& job, LiteralFeed& literals);

namespace {
bool processor_has_sse2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) != 0 && (d & bit_SSE2) != 0;
}
}  // namespace

DecodeResult decode_pixels(const DecodeJob& job, LiteralFeed& literals) {
  static const bool sse2 = processor_has_sse2();
  return sse2 ? decode_pixels_sse2(job, literals) : decode_any(job, literals);
}
#else
DecodeResult decode_pixels(const DecodeJob& job, LiteralFeed& literals) {
  return decode_any(job, literals);
}
#endif
