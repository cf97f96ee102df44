// Drives the entry points with a memory image, as a host does with a picture
// it already holds: IsSupported on the 2048-byte head copy, GetPictureInfo and
// GetPicture on a heap buffer of exactly the input's size, then GetPicture
// again with a progress callback that cancels at a row taken from the last
// input byte, and once more with a platform call made to fail (chosen by the
// byte before it). The whole input is the picture.
#include <stdint.h>
#include <string.h>

#include <memory>

#include "fuzz/fuzz_host.h"
#include "source/image_reader.h"

namespace {

// Cancellation and failure paths do not depend on the size: larger pictures
// are decoded once only, to keep the inputs per second up.
constexpr uint64_t kMaxPixelsForSecondCalls = 1u << 16;

void check_picture_info(const char* source, int32_t length, const PictureLayout& layout) {
  PictureInfoRecord info;
  memset(&info, 0xA5, sizeof info);
  int32_t status = GetPictureInfo(source, length, 1, &info);
  FUZZ_CHECK(status == (layout.accepted ? 0 : 2), "GetPictureInfo answered %d", status);
  if (status == 0) {
    FUZZ_CHECK(info.host_defined_0 == 0 && info.host_defined_1 == 0 && info.host_defined_2 == 0 &&
                   info.host_defined_3 == 0 && info.host_defined_4 == 0,
               "GetPictureInfo left a host field nonzero");
    FUZZ_CHECK(info.width == layout.width && info.height == layout.height &&
                   info.color_depth == layout.bits_per_pixel,
               "GetPictureInfo: %dx%d %d bits, header says %dx%d %d bits", info.width, info.height,
               info.color_depth, layout.width, layout.height, layout.bits_per_pixel);
  }
  status = GetPictureInfo(source, length, 1, nullptr);
  FUZZ_CHECK(status == (layout.accepted ? 4 : 2), "GetPictureInfo without a record answered %d",
             status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFF) return 0;
  const PictureLayout layout = read_layout(data, size);

  // The host hands over exactly 2048 bytes, zero-padded past a short file.
  std::unique_ptr<uint8_t[]> head(new uint8_t[kCheckHeadLength]());
  memcpy(head.get(), data, size < kCheckHeadLength ? size : kCheckHeadLength);
  const int32_t supported = IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.get()));
  FUZZ_CHECK(supported == (layout.accepted ? 1 : 0), "IsSupported answered %d", supported);

  const ExactBuffer image = exact_copy(Bytes(data, data + size));
  const int32_t length = static_cast<int32_t>(size);
  check_picture_info(image.chars(), length, layout);

  if (!worth_decoding(layout)) return 0;
  const HostResult plain = host_get_picture(image.chars(), length, 1, layout, nullptr, {});
  check_nothing_left(plain, "memory");
  check_within_bounds(plain, layout, "memory");
  check_decoded(plain, data, size, layout, "memory");
  if (layout.expected_status == 0 && layout.pixel_count > kMaxPixelsForSecondCalls) return 0;

  const uint8_t last = size > 0 ? data[size - 1] : 0;
  const uint8_t before_last = size > 1 ? data[size - 2] : 0;

  // Rows 0..height cancel; height + 1 lets the decoding finish. Bits above
  // the low three of the source flags carry no meaning and vary here.
  ProgressLog log{};
  log.cancel_at =
      layout.expected_status == 0 ? static_cast<int32_t>(last % (layout.height + 2)) : 0;
  log.expected_total = layout.height;
  log.in_order = true;
  const uint32_t flags = 1u | static_cast<uint32_t>(before_last) << 3;
  const HostResult cancelled = host_get_picture(image.chars(), length, flags, layout, &log, {});
  check_within_bounds(cancelled, layout, "memory, progress");
  check_cancel_outcome(cancelled, log, plain, layout, "memory, progress");

  const FailurePlan plan = failure_plan_from(before_last, false);
  const HostResult failed = host_get_picture(image.chars(), length, 1, layout, nullptr, plan);
  check_failure_outcome(failed, plan, data, size, layout, "memory, failing platform call");
  return 0;
}
