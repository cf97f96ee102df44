#include "fuzz/fuzz_host.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "source/platform.h"
#include "source/platform_probe.h"
#include "tests/oracle_decoder.h"

namespace {

constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint64_t kMaxBlockSize = 0xFFFFFFFFull;

uint32_t load_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Byte `at` of the input, zero past its end.
uint8_t byte_at(const uint8_t* data, size_t size, uint64_t at) { return at < size ? data[at] : 0; }

// Where the first difference between two blocks lies, for the report.
size_t first_difference(const Bytes& a, const Bytes& b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  return n;
}

// True when GetPicture made the call the plan fails.
bool failure_reached(const HostResult& r, const FailurePlan& plan) {
  return (plan.local_alloc_at != 0 && r.local_allocs >= plan.local_alloc_at) ||
         (plan.local_lock_at != 0 && r.local_locks >= plan.local_lock_at) ||
         (plan.work_alloc_at != 0 && r.work_allocs >= plan.work_alloc_at) ||
         (plan.read_at != 0 && r.reads >= plan.read_at) ||
         (plan.seek_at != 0 && r.seeks >= plan.seek_at);
}

int32_t service_status(const FailurePlan& plan) {
  if (plan.local_alloc_at != 0 || plan.work_alloc_at != 0) return 4;
  if (plan.local_lock_at != 0) return 5;
  return 6;
}

}  // namespace

PictureLayout read_layout(const uint8_t* data, size_t size) {
  uint8_t raw[64];
  for (size_t i = 0; i < 64; ++i) raw[i] = byte_at(data, size, i);
  PictureLayout l{};
  const uint32_t version = load_u32(raw + 4);
  const int32_t bits = static_cast<int16_t>(raw[24] | raw[25] << 8);
  const uint32_t stream_offset = load_u32(raw + 40);
  l.accepted = memcmp(raw, "TZF\0", 4) == 0 && (version == 2 || version == 3) &&
               load_u32(raw + 8) == 64 &&
               ((bits == 8 && stream_offset == 1088) || (bits == 24 && stream_offset == 64));
  l.width = static_cast<int32_t>(load_u32(raw + 12));
  l.height = static_cast<int32_t>(load_u32(raw + 16));
  l.bits_per_pixel = bits;
  l.flag_length = load_u32(raw + 48);
  l.command_length = load_u32(raw + 52);
  if (!l.accepted || l.width <= 0 || l.height <= 0) {
    l.expected_status = 2;
    return l;
  }
  l.bytes_per_pixel = static_cast<uint32_t>(bits / 8);
  l.colour_table_length = bits == 8 ? 1024 : 0;
  l.pixel_count = static_cast<uint64_t>(l.width) * static_cast<uint64_t>(l.height);
  l.stride = (static_cast<uint64_t>(l.width) * l.bytes_per_pixel + 3) / 4 * 4;
  l.block_size = l.stride * static_cast<uint64_t>(l.height);
  l.expected_status = l.block_size > kMaxBlockSize ? 4 : 0;
  return l;
}

uint64_t allocation_bound(const PictureLayout& layout) {
  if (layout.expected_status != 0) return kAllocationSlack;
  const uint64_t n = layout.pixel_count;
  return kInfoHeaderSize + layout.colour_table_length + layout.block_size + (n + 7) / 8 +
         (n + 2) / 3 + kAllocationSlack;
}

bool worth_decoding(const PictureLayout& layout) {
  return layout.expected_status != 0 || layout.pixel_count <= kMaxFuzzPixels;
}

Bytes expected_info_block(const uint8_t* data, size_t size, const PictureLayout& layout) {
  Bytes info(kInfoHeaderSize + layout.colour_table_length, 0);
  store_u32(info.data() + 0, kInfoHeaderSize);
  store_u32(info.data() + 4, static_cast<uint32_t>(layout.width));
  store_u32(info.data() + 8, static_cast<uint32_t>(layout.height));
  info[12] = 1;  // planes
  info[14] = static_cast<uint8_t>(layout.bits_per_pixel);
  store_u32(info.data() + 32, layout.colour_table_length / 4);
  for (uint32_t i = 0; i < layout.colour_table_length; ++i) {
    info[kInfoHeaderSize + i] = byte_at(data, size, 64 + i);
  }
  return info;
}

// Decodes by the rules, one decision at a time, straight from the input.
Bytes reference_pixels(const uint8_t* data, size_t size, const PictureLayout& layout) {
  const uint64_t row = static_cast<uint64_t>(layout.width) * layout.bytes_per_pixel;
  const Bytes packed = oracle_packed_pixels(data, size);
  Bytes block(layout.block_size, 0);
  for (uint64_t r = 0; r < static_cast<uint64_t>(layout.height); ++r) {
    memcpy(block.data() + r * layout.stride, packed.data() + r * row, row);
  }
  return block;
}

int32_t TZF_CALL log_progress(int32_t rows_done, int32_t total_rows, intptr_t host_data) {
  ProgressLog* log = reinterpret_cast<ProgressLog*>(host_data);
  if (rows_done != log->calls || total_rows != log->expected_total) log->in_order = false;
  ++log->calls;
  return rows_done == log->cancel_at ? 1 : 0;
}

HostResult host_get_picture(const char* source, int32_t length_or_offset, uint32_t flags,
                            const PictureLayout& layout, ProgressLog* progress,
                            const FailurePlan& plan) {
  platform_probe_reset();
  PlatformProbe& probe = platform_probe();
  probe.fail_local_alloc_at = plan.local_alloc_at;
  probe.fail_local_lock_at = plan.local_lock_at;
  probe.fail_work_alloc_at = plan.work_alloc_at;
  probe.fail_read_at = plan.read_at;
  probe.fail_seek_at = plan.seek_at;

  HostResult r{};
  TzfLocalHandle info = reinterpret_cast<TzfLocalHandle>(1);  // must be overwritten
  TzfLocalHandle pixels = reinterpret_cast<TzfLocalHandle>(1);
  const auto start = std::chrono::steady_clock::now();
  r.status = GetPicture(source, length_or_offset, flags, &info, &pixels,
                        progress != nullptr ? log_progress : nullptr,
                        reinterpret_cast<intptr_t>(progress));
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // The host's own calls below must not meet a planned failure.
  probe.fail_local_alloc_at = probe.fail_local_lock_at = probe.fail_work_alloc_at = 0;
  probe.fail_read_at = probe.fail_seek_at = 0;
  r.peak_bytes = probe.peak_bytes;
  r.local_allocs = probe.local_allocs;
  r.local_locks = probe.local_locks;
  r.work_allocs = probe.work_allocs;
  r.reads = probe.reads;
  r.seeks = probe.seeks;
  r.info_null = info == nullptr;
  r.pixels_null = pixels == nullptr;
  FUZZ_CHECK(
      info != reinterpret_cast<TzfLocalHandle>(1) && pixels != reinterpret_cast<TzfLocalHandle>(1),
      "a handle location was left unwritten (status %d)", r.status);
  if (info != nullptr && pixels != nullptr && r.status == 0 && layout.expected_status == 0) {
    const uint8_t* i = static_cast<const uint8_t*>(LocalLock(info));
    const uint8_t* p = static_cast<const uint8_t*>(LocalLock(pixels));
    FUZZ_CHECK(i != nullptr && p != nullptr, "a handed-over block cannot be locked");
    r.info.assign(i, i + kInfoHeaderSize + layout.colour_table_length);
    r.pixels.assign(p, p + layout.block_size);
    LocalUnlock(info);
    LocalUnlock(pixels);
  }
  if (info != nullptr) FUZZ_CHECK(LocalFree(info) == nullptr, "LocalFree refused the info block");
  if (pixels != nullptr) {
    FUZZ_CHECK(LocalFree(pixels) == nullptr, "LocalFree refused the pixel block");
  }
  r.live_blocks_after = probe.live_blocks;
  r.live_bytes_after = probe.live_bytes;
  r.open_files_after = probe.open_files;
  return r;
}

void check_nothing_left(const HostResult& r, const char* what) {
  FUZZ_CHECK(r.live_blocks_after == 0 && r.live_bytes_after == 0,
             "%s: %d blocks (%llu bytes) still held after the host freed its blocks", what,
             r.live_blocks_after, static_cast<unsigned long long>(r.live_bytes_after));
  FUZZ_CHECK(r.open_files_after == 0, "%s: %d files left open", what, r.open_files_after);
  if (r.status != 0) {
    FUZZ_CHECK(r.info_null && r.pixels_null, "%s: status %d but a handle was handed over", what,
               r.status);
  }
}

void check_within_bounds(const HostResult& r, const PictureLayout& layout, const char* what) {
  const uint64_t bound = allocation_bound(layout);
  FUZZ_CHECK(r.peak_bytes <= bound, "%s: peak allocation %llu bytes above the bound %llu (%dx%d)",
             what, static_cast<unsigned long long>(r.peak_bytes),
             static_cast<unsigned long long>(bound), layout.width, layout.height);
  // Work follows the pixels, never the declared stream lengths: literals
  // come in chunks and the unused parts of the streams are skipped.
  const uint64_t pixels = layout.expected_status == 0 ? layout.pixel_count : 0;
  const uint64_t read_bound = 16 + pixels * layout.bytes_per_pixel / 256;
  FUZZ_CHECK(r.reads <= read_bound && r.seeks <= 16, "%s: %u reads and %u seeks for %llu pixels",
             what, r.reads, r.seeks, static_cast<unsigned long long>(pixels));
  const double time_bound = 2.0 + static_cast<double>(pixels) * 1e-6;
  FUZZ_CHECK(r.seconds <= time_bound, "%s: %.3f s for %llu pixels (bound %.3f s)", what, r.seconds,
             static_cast<unsigned long long>(pixels), time_bound);
}

void check_decoded(const HostResult& r, const uint8_t* data, size_t size,
                   const PictureLayout& layout, const char* what) {
  FUZZ_CHECK(r.status == layout.expected_status, "%s: status %d, expected %d (%dx%d, %d bits)",
             what, r.status, layout.expected_status, layout.width, layout.height,
             layout.bits_per_pixel);
  if (layout.expected_status != 0) {
    FUZZ_CHECK(r.info_null && r.pixels_null, "%s: a handle was handed over on failure", what);
    return;
  }
  FUZZ_CHECK(!r.info_null && !r.pixels_null, "%s: success without both handles", what);
  const Bytes info = expected_info_block(data, size, layout);
  FUZZ_CHECK(r.info == info, "%s: info block differs at byte %zu", what,
             first_difference(r.info, info));
  const Bytes pixels = reference_pixels(data, size, layout);
  const size_t at = first_difference(r.pixels, pixels);
  FUZZ_CHECK(r.pixels == pixels, "%s: pixel block differs at byte %zu (row %llu): %u, expected %u",
             what, at, static_cast<unsigned long long>(at / layout.stride),
             at < r.pixels.size() ? r.pixels[at] : 0u, at < pixels.size() ? pixels[at] : 0u);
}

FailurePlan failure_plan_from(uint8_t control, bool with_file_services) {
  FailurePlan plan{};
  const uint32_t at = 1u + (control >> 5) % 5u;
  switch (control % (with_file_services ? 6u : 4u)) {
    case 1:
      plan.local_alloc_at = at;
      break;
    case 2:
      plan.local_lock_at = at;
      break;
    case 3:
      plan.work_alloc_at = at;
      break;
    case 4:
      plan.read_at = at;
      break;
    case 5:
      plan.seek_at = at;
      break;
    default:
      break;
  }
  return plan;
}

void check_failure_outcome(const HostResult& r, const FailurePlan& plan, const uint8_t* data,
                           size_t size, const PictureLayout& layout, const char* what) {
  check_nothing_left(r, what);
  if (r.status != 0) {
    FUZZ_CHECK(r.info_null && r.pixels_null, "%s: handles handed over on failure", what);
  }
  // A file that cannot be measured or skipped through by positioning is read
  // on instead: a failing seek there is survived, with the right picture.
  const bool survivable = plan.seek_at != 0 && r.status == 0;
  if (failure_reached(r, plan) && !survivable) {
    FUZZ_CHECK(r.status == service_status(plan),
               "%s: status %d after a failing platform call, expected %d", what, r.status,
               service_status(plan));
    return;
  }
  check_decoded(r, data, size, layout, what);
}

void check_cancel_outcome(const HostResult& r, const ProgressLog& log,
                          const HostResult& uncancelled, const PictureLayout& layout,
                          const char* what) {
  check_nothing_left(r, what);
  FUZZ_CHECK(log.in_order, "%s: progress calls out of order or with a wrong total", what);
  if (layout.expected_status != 0) {
    FUZZ_CHECK(log.calls == 0, "%s: %d progress calls for a picture that fails early", what,
               log.calls);
    FUZZ_CHECK(r.status == layout.expected_status, "%s: status %d, expected %d", what, r.status,
               layout.expected_status);
    return;
  }
  if (log.cancel_at >= 0 && log.cancel_at <= layout.height) {
    FUZZ_CHECK(r.status == 1 && r.info_null && r.pixels_null,
               "%s: cancelling at row %d gave status %d", what, log.cancel_at, r.status);
    FUZZ_CHECK(log.calls == log.cancel_at + 1, "%s: %d progress calls after cancelling at row %d",
               what, log.calls, log.cancel_at);
    return;
  }
  FUZZ_CHECK(log.calls == layout.height + 1, "%s: %d progress calls for %d rows", what, log.calls,
             layout.height);
  FUZZ_CHECK(r.status == uncancelled.status && r.info == uncancelled.info &&
                 r.pixels == uncancelled.pixels,
             "%s: a progress callback changed the result", what);
}
