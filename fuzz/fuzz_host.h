// What the fuzz targets share: an independent reading of the header, the
// pixel block a correct decoder must produce (decoded here by the rules, one
// pixel at a time), host-style calls of GetPicture and the checks made after
// every call. A failed check prints what went wrong and aborts, which the
// fuzzer reports as a crash with the input that caused it.
#ifndef TZF_FUZZ_FUZZ_HOST_H
#define TZF_FUZZ_FUZZ_HOST_H

#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_check.h"
#include "plugin/tzf_filter.h"
#include "tests/test_pictures.h"
#include "tzf/tzf.h"

// Pictures above this many pixels are legitimate (a pixel block may reach
// 4 GiB) but too slow to decode on every input; they are not decoded.
constexpr uint64_t kMaxFuzzPixels = uint64_t{1} << 22;

// Allocation a call may make beyond the two blocks and the two stream
// buffers: room for a file's chunk of literals and a small working record.
constexpr uint64_t kAllocationSlack = TZF_READ_BUFFER_SIZE + 16 * 1024;

// The header as the fuzz targets read it, from the first 64 bytes (missing
// bytes are zero), with the sizes a correct GetPicture works with.
struct PictureLayout {
  bool accepted;  // passes the acceptance rule (IsSupported answers 1)
  int32_t width;
  int32_t height;
  int32_t bits_per_pixel;
  uint32_t bytes_per_pixel;
  uint32_t colour_table_length;  // 1024 or 0
  uint32_t flag_length;          // as declared
  uint32_t command_length;       // as declared
  uint64_t pixel_count;
  uint64_t stride;          // bytes per DIB row, pad included
  uint64_t block_size;      // height * stride
  int32_t expected_status;  // 0, 2 or 4 for a source that never fails
};

PictureLayout read_layout(const uint8_t* data, size_t size);

// Largest amount a call may hold at once for this picture.
uint64_t allocation_bound(const PictureLayout& layout);

// True when GetPicture is to be called: every picture that fails before
// decoding, and decodable pictures up to kMaxFuzzPixels.
bool worth_decoding(const PictureLayout& layout);

// The info block (40-byte header and colour table) and pixel block a correct
// decoder makes from `data`, for an accepted picture whose status is 0.
Bytes expected_info_block(const uint8_t* data, size_t size, const PictureLayout& layout);
Bytes reference_pixels(const uint8_t* data, size_t size, const PictureLayout& layout);

// Records the progress calls of one GetPicture and cancels at a chosen row.
struct ProgressLog {
  int32_t cancel_at;  // rows_done value whose call answers nonzero; -1: never
  int32_t calls;
  int32_t expected_total;
  bool in_order;  // every call had rows_done == calls so far, total == height
};

int32_t TZF_CALL log_progress(int32_t rows_done, int32_t total_rows, intptr_t host_data);

// One GetPicture as a host makes it, with what the platform probe saw.
struct HostResult {
  int32_t status;
  bool info_null;
  bool pixels_null;
  Bytes info;    // copied out when both handles were given
  Bytes pixels;  // copied out when both handles were given
  uint64_t peak_bytes;
  int32_t live_blocks_after;  // after the host freed both blocks
  uint64_t live_bytes_after;
  int32_t open_files_after;
  uint32_t local_allocs;  // platform calls made by GetPicture
  uint32_t local_locks;
  uint32_t work_allocs;
  uint32_t reads;
  uint32_t seeks;
  double seconds;
};

// Calls GetPicture (the probe reset first, failure indices kept in `probe`)
// and frees the blocks with LocalFree as a host does.
struct FailurePlan {
  uint32_t local_alloc_at;
  uint32_t local_lock_at;
  uint32_t work_alloc_at;
  uint32_t read_at;
  uint32_t seek_at;
};
HostResult host_get_picture(const char* source, int32_t length_or_offset, uint32_t flags,
                            const PictureLayout& layout, ProgressLog* progress,
                            const FailurePlan& plan);

// The checks every successful or failed call must pass.
void check_nothing_left(const HostResult& result, const char* what);
void check_within_bounds(const HostResult& result, const PictureLayout& layout, const char* what);
void check_decoded(const HostResult& result, const uint8_t* data, size_t size,
                   const PictureLayout& layout, const char* what);

// A failure plan taken from one control byte: no failure, or the first to
// third call of one platform service failing.
FailurePlan failure_plan_from(uint8_t control, bool with_file_services);

// Checks a GetPicture made under a failure plan: either it succeeded with the
// right picture (the failing call was never reached) or it failed with the
// status of that service and left nothing behind.
void check_failure_outcome(const HostResult& result, const FailurePlan& plan, const uint8_t* data,
                           size_t size, const PictureLayout& layout, const char* what);

// Checks a GetPicture whose progress callback cancels at log.cancel_at.
void check_cancel_outcome(const HostResult& result, const ProgressLog& log,
                          const HostResult& uncancelled, const PictureLayout& layout,
                          const char* what);

#endif
