// The library's C interface on any input: tzf_read_info, tzf_output_size and
// tzf_decode in a layout chosen from the input (top-down or bottom-up, a gap
// between rows, each format, a cancellation), into a buffer of exactly the
// rows' extent. The pixels must equal the oracle's, the gaps must be zero,
// and nothing outside the buffer may be touched (the address sanitizer
// watches the buffer's ends). Then the same picture from its kept bytes, fed
// to tzf_keep in pieces of a size chosen from the input and cut where the
// input says: the pixels must equal tzf_decode's on the data so cut, and the
// rows held the oracle's and tzf_scan_parts'.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz/fuzz_host.h"
#include "tests/oracle_decoder.h"
#include "tzf/tzf.h"

namespace {

struct Cancel {
  uint32_t at;  // rows_done answered with "stop"; above the height: never
  uint32_t calls;
  bool in_order;
};

int count_rows(void* user, uint32_t done, uint32_t) {
  Cancel& c = *static_cast<Cancel*>(user);
  c.in_order = c.in_order && done == c.calls;
  ++c.calls;
  return done == c.at ? 1 : 0;
}

// The expected output pixel at column x of decoded row r.
void expected_pixel(const uint8_t* data, size_t size, const Bytes& packed, uint64_t pixel,
                    uint32_t stored, int format, uint8_t* out) {
  const uint8_t* p = packed.data() + pixel * stored;
  if (format == TZF_FORMAT_NATIVE) {
    memcpy(out, p, stored);
    return;
  }
  if (stored == 1) {
    for (int c = 0; c < 3; ++c) {
      const uint64_t at = 64 + 4u * p[0] + 2 - c;
      out[c] = at < size ? data[at] : 0;
    }
  } else {
    out[0] = p[2];
    out[1] = p[1];
    out[2] = p[0];
  }
  if (format == TZF_FORMAT_RGBA) out[3] = 255;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tzf_info info;
  const int read = tzf_read_info(data, size, &info);
  FUZZ_CHECK(tzf_is_tzf(data, size) == (read != TZF_ERROR_NOT_TZF), "is_tzf %d", read);
  uint8_t scratch[16];
  if (read != TZF_OK) {
    const int decoded = tzf_decode(data, size, TZF_FORMAT_RGB, scratch, 16, nullptr);
    FUZZ_CHECK(decoded == read, "decode %d, read_info %d", decoded, read);
    return 0;
  }
  const uint64_t pixels = static_cast<uint64_t>(info.width) * info.height;
  if (pixels > kMaxFuzzPixels) return 0;

  uint32_t control = static_cast<uint32_t>(size);
  for (size_t k = 0; k < size; k += 97) control = control * 31 + data[k];
  const int format = 1 + static_cast<int>(control % 3);
  const bool top_down = (control & 4) != 0;
  const size_t gap = (control >> 3) & 7;
  Cancel cancel{(control >> 6) % 8 == 0 ? (control >> 9) % (info.height + 1) : UINT32_MAX, 0, true};

  size_t row = 0;
  FUZZ_CHECK(tzf_output_size(&info, format, &row, nullptr) == TZF_OK, "output size");
  const size_t distance = row + gap;
  const size_t extent = (info.height - 1) * distance + row;
  uint8_t* buffer = static_cast<uint8_t*>(malloc(extent));
  FUZZ_CHECK(buffer != nullptr, "allocation of %zu bytes", extent);
  memset(buffer, 0xC3, extent);
  uint8_t* top = top_down ? buffer : buffer + (info.height - 1) * distance;
  const ptrdiff_t stride =
      top_down ? static_cast<ptrdiff_t>(distance) : -static_cast<ptrdiff_t>(distance);
  const tzf_progress progress{count_rows, &cancel};
  const int status = tzf_decode(data, size, format, top, stride, &progress);
  const bool cancelled = cancel.at <= info.height;
  FUZZ_CHECK(status == (cancelled ? TZF_ERROR_CANCELLED : TZF_OK), "status %d", status);
  FUZZ_CHECK(cancel.in_order && cancel.calls == (cancelled ? cancel.at + 1 : info.height + 1),
             "%u progress calls", cancel.calls);
  if (status == TZF_OK) {
    const Bytes packed = oracle_packed_pixels(data, size);
    const uint32_t stored = info.bits_per_pixel / 8;
    const size_t out_bpp = row / info.width;
    uint8_t want[4];
    for (uint32_t y = 0; y < info.height; ++y) {
      const uint8_t* r = top + static_cast<ptrdiff_t>(y) * stride;
      const uint64_t first = static_cast<uint64_t>(info.height - 1 - y) * info.width;
      for (uint32_t x = 0; x < info.width; ++x) {
        expected_pixel(data, size, packed, first + x, stored, format, want);
        FUZZ_CHECK(memcmp(r + x * out_bpp, want, out_bpp) == 0,
                   "pixel %u of row %u, format %d, %s, gap %zu", x, y, format,
                   top_down ? "top-down" : "bottom-up", gap);
      }
      const bool last_in_memory = top_down ? y + 1 == info.height : y == 0;
      for (size_t k = 0; k < gap && !last_in_memory; ++k) {
        FUZZ_CHECK(r[row + k] == 0, "gap byte %zu after row %u", k, y);
      }
    }
  }
  if (status == TZF_OK) {
    // The data cut at a point chosen from the input, kept piece by piece.
    const size_t cut = (control >> 12) % 4 == 0 ? size : (control >> 14) % (size + 1);
    const size_t piece = 1 + (control >> 20) % 4096;
    tzf_extent extent_kept;
    FUZZ_CHECK(tzf_usable_extent(&info, &extent_kept) == TZF_OK, "usable extent");
    Bytes kept(static_cast<size_t>(extent_kept.kept_bytes));
    uint64_t held = 0;
    for (size_t at = 0; at < cut; at += piece) {
      const size_t n = cut - at < piece ? cut - at : piece;
      const uint64_t now = tzf_keep(&extent_kept, at, data + at, n, kept.data());
      FUZZ_CHECK(now >= held && now <= extent_kept.kept_bytes, "kept %llu after %llu",
                 static_cast<unsigned long long>(now), static_cast<unsigned long long>(held));
      held = now;
    }
    uint8_t* whole = static_cast<uint8_t*>(malloc(extent));
    uint8_t* from_kept = static_cast<uint8_t*>(malloc(extent));
    FUZZ_CHECK(whole != nullptr && from_kept != nullptr, "allocation of %zu bytes", extent);
    memset(whole, 0xA5, extent);
    memset(from_kept, 0xA5, extent);
    uint8_t* whole_top = whole + (top - buffer);
    uint8_t* kept_top = from_kept + (top - buffer);
    tzf_result result{};
    // Data cut inside the header reads other stream lengths; data cut inside
    // the colour table reads its missing entries as zero, where the kept
    // bytes have the whole data's table: such cuts are compared only for the
    // rows held, and not at all inside the header.
    tzf_info cut_info;
    const int cut_read = cut >= TZF_HEADER_SIZE ? tzf_read_info(data, cut, &cut_info) : -1;
    const bool same_table =
        info.bits_per_pixel == 24 || format == TZF_FORMAT_NATIVE ||
        (cut_read == TZF_OK && memcmp(cut_info.palette, info.palette, sizeof info.palette) == 0);
    FUZZ_CHECK(tzf_decode_kept(&info, kept.data(), static_cast<size_t>(held), format, kept_top,
                               stride, nullptr, &result) == TZF_OK,
               "decode from %llu kept bytes", static_cast<unsigned long long>(held));
    if (cut_read == TZF_OK && same_table) {
      FUZZ_CHECK(tzf_decode(data, cut, format, whole_top, stride, nullptr) == TZF_OK,
                 "decode of %zu bytes", cut);
      FUZZ_CHECK(memcmp(whole, from_kept, extent) == 0,
                 "kept bytes (%zu a piece) decode unlike the data cut at %zu", piece, cut);
    }
    if (cut_read == TZF_OK) {
      OracleReport report;
      oracle_packed_pixels(data, cut, &report);
      FUZZ_CHECK(
          result.rows_held == report.rows_held && (result.truncated != 0) == report.truncated,
          "rows held %u (truncated %u), the oracle's %u (%d), cut at %zu", result.rows_held,
          result.truncated, report.rows_held, report.truncated, cut);
    }
    tzf_parts parts;
    tzf_result scanned{};
    FUZZ_CHECK(tzf_parts_of_data(&info, data, cut, &parts) == TZF_OK, "parts of data");
    FUZZ_CHECK(tzf_scan_parts(&info, &parts, &scanned) == TZF_OK, "scan");
    FUZZ_CHECK(scanned.rows_held == result.rows_held && scanned.truncated == result.truncated,
               "scan says %u rows, decoding %u", scanned.rows_held, result.rows_held);
    free(from_kept);
    free(whole);
  }
  free(buffer);
  return 0;
}
