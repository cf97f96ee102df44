// The library's C interface on any input: tzf_read_info, tzf_output_size and
// tzf_decode in a layout chosen from the input (top-down or bottom-up, a gap
// between rows, each format, a cancellation), into a buffer of exactly the
// rows' extent. The pixels must equal the oracle's, the gaps must be zero,
// and nothing outside the buffer may be touched (the address sanitizer
// watches the buffer's ends).
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
  free(buffer);
  return 0;
}
