// Drives the WIC decoder's stream path as the COM glue does: the picture is
// read through a byte source that hands out chunks of varying sizes (taken
// from the input's first bytes), then served as the whole frame with a
// padded stride and as two rectangles from the cache. Every answer must
// agree with tzf_decode on the whole data, and no copy may write past the
// buffer it was given.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "wic/wic_picture.h"

namespace {

constexpr size_t kControlBytes = 8;
constexpr uint64_t kMaxFuzzPixels = uint64_t{1} << 18;

#define FUZZ_CHECK(cond, ...)                    \
  do {                                           \
    if (!(cond)) {                               \
      fprintf(stderr, "fuzz_wic: " __VA_ARGS__); \
      fputc('\n', stderr);                       \
      abort();                                   \
    }                                            \
  } while (0)

struct Source {
  const uint8_t* data;
  size_t size, at;
  const uint8_t* control;  // chunk sizes, used in turn
  size_t turn;
};

int64_t read_source(void* user, void* to, size_t count) {
  Source* source = static_cast<Source*>(user);
  const uint8_t pick = source->control[source->turn++ % kControlBytes];
  // Mostly whole requests, sometimes short ones of 1 to 4096 bytes.
  size_t give = pick < 128 ? count : size_t{1} + (size_t{pick} * 37u) % 4096u;
  if (give > count) give = count;
  if (give > source->size - source->at) give = source->size - source->at;
  memcpy(to, source->data + source->at, give);
  source->at += give;
  return static_cast<int64_t>(give);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kControlBytes) return 0;
  Source source{data + kControlBytes, size - kControlBytes, 0, data, 0};
  tzf_wic::Picture picture{};
  const tzf_wic::Status status = tzf_wic::read_picture(read_source, &source, &picture);

  tzf_info info{};
  const int info_status = tzf_read_info(source.data, source.size, &info);
  if (status != tzf_wic::Status::ok) {
    using tzf_wic::Status;
    FUZZ_CHECK(status == Status::not_tzf      ? info_status == TZF_ERROR_NOT_TZF
               : status == Status::bad_header ? info_status == TZF_ERROR_BAD_SIZE
               : status == Status::too_large  ? info_status == TZF_OK
                                              : status == Status::out_of_memory,
               "refused the picture (%d) where tzf_read_info says %d", static_cast<int>(status),
               info_status);
    return 0;
  }
  FUZZ_CHECK(info_status == TZF_OK && info.width == picture.info.width &&
                 info.height == picture.info.height,
             "the header differs from tzf_read_info's");
  const uint64_t pixels = uint64_t{info.width} * info.height;
  if (pixels > kMaxFuzzPixels) {
    tzf_wic::free_picture(&picture);
    return 0;
  }

  // The reference: the whole data decoded at once.
  const uint64_t pb = picture.pixel_bytes;
  const uint64_t row = info.width * pb;
  std::vector<uint8_t> expected(static_cast<size_t>(row * info.height));
  FUZZ_CHECK(tzf_decode(source.data, source.size, TZF_FORMAT_NATIVE, expected.data(),
                        static_cast<ptrdiff_t>(row), nullptr) == TZF_OK,
             "tzf_decode failed");

  // The whole frame, with a padded stride: the last row needs no padding.
  const uint64_t stride = row + (data[1] % 7);
  const uint64_t bytes = stride * (info.height - 1) + row;
  std::vector<uint8_t> whole(static_cast<size_t>(bytes) + 16, 0xA5);
  FUZZ_CHECK(tzf_wic::copy_pixels(&picture, 0, 0, info.width, info.height, stride, bytes,
                                  whole.data()) == tzf_wic::Status::ok,
             "the whole frame failed");
  for (uint32_t y = 0; y < info.height; ++y)
    FUZZ_CHECK(memcmp(whole.data() + y * stride, expected.data() + y * row, row) == 0,
               "row %u of the whole frame differs", y);
  FUZZ_CHECK(whole[bytes] == 0xA5, "the whole frame wrote past the buffer");
  FUZZ_CHECK(tzf_wic::copy_pixels(&picture, 0, 0, info.width, info.height, stride, bytes - 1,
                                  whole.data()) == tzf_wic::Status::insufficient_buffer,
             "a buffer one byte short was taken");

  // Two rectangles through the cache, and one just outside the frame.
  for (int i = 0; i < 2; ++i) {
    const uint8_t* c = data + 2 + 3 * i;
    const int64_t x = c[0] % info.width, y = c[1] % info.height;
    const int64_t w = 1 + c[2] % (info.width - x), h = 1 + (c[2] >> 4) % (info.height - y);
    const uint64_t rect_stride = w * pb + (c[1] & 3);
    const uint64_t rect_bytes = rect_stride * (h - 1) + w * pb;
    std::vector<uint8_t> out(static_cast<size_t>(rect_bytes) + 16, 0xA5);
    FUZZ_CHECK(tzf_wic::copy_pixels(&picture, x, y, w, h, rect_stride, rect_bytes, out.data()) ==
                   tzf_wic::Status::ok,
               "a rectangle failed");
    for (int64_t r = 0; r < h; ++r)
      FUZZ_CHECK(memcmp(out.data() + r * rect_stride, expected.data() + (y + r) * row + x * pb,
                        static_cast<size_t>(w * pb)) == 0,
                 "a rectangle differs");
    FUZZ_CHECK(out[rect_bytes] == 0xA5, "a rectangle wrote past the buffer");
    FUZZ_CHECK(tzf_wic::copy_pixels(&picture, x, y, w + (info.width - x - w) + 1, h,
                                    rect_stride + 64, rect_bytes + 64 * h + 64,
                                    out.data()) == tzf_wic::Status::invalid_argument,
               "a rectangle past the frame's edge was taken");
  }
  tzf_wic::free_picture(&picture);
  return 0;
}
