// The library's C interface where it adds behaviour of its own: the header
// record, the status values, progress and cancellation, argument checks and
// the stack each call needs. Pixels in every layout are held to the oracle
// by the differential test.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/test_pictures.h"
#include "tzf/tzf.h"

#if !defined(_WIN32)
#include <pthread.h>

#include "plugin/tzf_filter.h"
#include "source/platform.h"
#endif

namespace {

// A 5x3 24-bit picture of literals (pixels in decoding order, bottom row
// first) and a 3x2 8-bit one with its colour table.
Bytes small_24() { return make_literal_picture(5, 3, 24, random_bytes(45, 5)); }
Bytes small_8() { return make_literal_picture(3, 2, 8, {0, 1, 2, 3, 4, 255}); }

TEST(CodecApi, ReadInfoFillsTheRecord) {
  tzf_info info;
  const Bytes eight = small_8();
  ASSERT_EQ(tzf_read_info(eight.data(), eight.size(), &info), TZF_OK);
  EXPECT_EQ(info.width, 3u);
  EXPECT_EQ(info.height, 2u);
  EXPECT_EQ(info.bits_per_pixel, 8u);
  EXPECT_EQ(info.version, 3u);
  EXPECT_EQ(info.palette_size, 256u);
  const Bytes palette = test_palette();  // stored blue, green, red, 0
  for (int i : {0, 1, 128, 255}) {
    EXPECT_EQ(info.palette[i][0], palette[4 * i + 2]) << i;
    EXPECT_EQ(info.palette[i][1], palette[4 * i + 1]) << i;
    EXPECT_EQ(info.palette[i][2], palette[4 * i]) << i;
  }
  EXPECT_EQ(info.flag_stream_length, 1u);
  EXPECT_EQ(info.command_stream_length, 0u);
  EXPECT_EQ(info.literal_offset, 1089u);
  EXPECT_EQ(info.truncated, 0u);

  const Bytes true_colour = small_24();
  ASSERT_EQ(tzf_read_info(true_colour.data(), 65, &info), TZF_OK);
  EXPECT_EQ(info.palette_size, 0u);
  EXPECT_EQ(info.literal_offset, 66u);
  EXPECT_EQ(info.truncated, 1u);  // the data ends inside the flag stream
}

TEST(CodecApi, StatusValues) {
  const Bytes good = small_24();
  auto with = [&good](size_t at, uint32_t value) {
    Bytes b = good;
    memcpy(b.data() + at, &value, 4);
    return b;
  };
  struct Case {
    const char* what;
    Bytes data;
    int read_info;  // tzf_read_info
    int decode;     // tzf_decode as RGB at the tightest stride
  } cases[] = {
      {"valid", good, TZF_OK, TZF_OK},
      {"other bytes", Bytes(200, 'x'), TZF_ERROR_NOT_TZF, TZF_ERROR_NOT_TZF},
      {"empty", Bytes(), TZF_ERROR_NOT_TZF, TZF_ERROR_NOT_TZF},
      {"version 4", with(4, 4), TZF_ERROR_NOT_TZF, TZF_ERROR_NOT_TZF},
      {"width 0", with(12, 0), TZF_ERROR_BAD_SIZE, TZF_ERROR_BAD_SIZE},
      {"height -1", with(16, 0xFFFFFFFFu), TZF_ERROR_BAD_SIZE, TZF_ERROR_BAD_SIZE},
      {"header cut to 41 bytes", Bytes(good.begin(), good.begin() + 41), TZF_OK, TZF_OK},
      {"header cut to 40 bytes", Bytes(good.begin(), good.begin() + 40), TZF_ERROR_NOT_TZF,
       TZF_ERROR_NOT_TZF},
  };
  for (const Case& c : cases) {
    tzf_info info;
    EXPECT_EQ(tzf_read_info(c.data.data(), c.data.size(), &info), c.read_info) << c.what;
    EXPECT_EQ(tzf_is_tzf(c.data.data(), c.data.size()), c.read_info != TZF_ERROR_NOT_TZF) << c.what;
    std::vector<uint8_t> out(5 * 3 * 3);
    EXPECT_EQ(tzf_decode(c.data.data(), c.data.size(), TZF_FORMAT_RGB, out.data(), 15, nullptr),
              c.decode)
        << c.what;
  }
  for (int status = -1; status <= TZF_ERROR_BUFFER_SIZE + 1; ++status) {
    const std::string text = tzf_status_text(status);
    EXPECT_FALSE(text.empty()) << status;
    EXPECT_EQ(text == "unknown status", status < TZF_OK || status > TZF_ERROR_BUFFER_SIZE) << status;
  }
  EXPECT_STREQ(tzf_version(), TZF_TEST_VERSION);
}

TEST(CodecApi, ArgumentsAreChecked) {
  const Bytes good = small_24();
  // A one-row picture, runs and literals, takes any stride at least as wide
  // as its row: no address is ever formed from it.
  PictureParts row_parts = random_picture_parts(16, 1, 11);
  const Bytes one_row = make_picture(row_parts);
  row_parts.bits_per_pixel = 8;
  const Bytes one_row_8 = make_picture(row_parts);
  std::vector<uint8_t> out(64);
  tzf_info info;
  ASSERT_EQ(tzf_read_info(good.data(), good.size(), &info), TZF_OK);
  struct Case {
    const char* what;
    const void* data;
    size_t size;
    int format;
    void* out;
    ptrdiff_t stride;
    int status;
  } cases[] = {
      {"null data with a size", nullptr, good.size(), TZF_FORMAT_RGB, out.data(), 15,
       TZF_ERROR_BAD_ARGUMENT},
      {"null data, size 0", nullptr, 0, TZF_FORMAT_RGB, out.data(), 15, TZF_ERROR_NOT_TZF},
      {"null output", good.data(), good.size(), TZF_FORMAT_RGB, nullptr, 15,
       TZF_ERROR_BAD_ARGUMENT},
      {"unknown format", good.data(), good.size(), 0, out.data(), 15, TZF_ERROR_BAD_ARGUMENT},
      {"RGB stride one short", good.data(), good.size(), TZF_FORMAT_RGB, out.data(), 14,
       TZF_ERROR_BAD_ARGUMENT},
      {"RGBA stride one short", good.data(), good.size(), TZF_FORMAT_RGBA, out.data(), 19,
       TZF_ERROR_BAD_ARGUMENT},
      {"negative stride one short", good.data(), good.size(), TZF_FORMAT_NATIVE, out.data() + 28,
       -14, TZF_ERROR_BAD_ARGUMENT},
      {"smallest stride", good.data(), good.size(), TZF_FORMAT_NATIVE, out.data(), 15, TZF_OK},
      {"stride of no number", good.data(), good.size(), TZF_FORMAT_NATIVE, out.data(), PTRDIFF_MIN,
       TZF_ERROR_BAD_ARGUMENT},
      {"rows beyond the address space", good.data(), good.size(), TZF_FORMAT_NATIVE, out.data(),
       PTRDIFF_MAX / 2, TZF_ERROR_TOO_LARGE},
      {"one row, the largest stride", one_row.data(), one_row.size(), TZF_FORMAT_RGBA, out.data(),
       PTRDIFF_MAX, TZF_OK},
      {"one row, the largest negative stride", one_row.data(), one_row.size(), TZF_FORMAT_RGBA,
       out.data(), -PTRDIFF_MAX, TZF_OK},
      {"one 8-bit row, the largest negative stride", one_row_8.data(), one_row_8.size(),
       TZF_FORMAT_NATIVE, out.data(), -PTRDIFF_MAX, TZF_OK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tzf_decode(c.data, c.size, c.format, c.out, c.stride, nullptr), c.status) << c.what;
  }
  EXPECT_EQ(tzf_read_info(good.data(), good.size(), nullptr), TZF_ERROR_BAD_ARGUMENT);
  size_t stride = 1, bytes = 1;
  EXPECT_EQ(tzf_output_size(nullptr, TZF_FORMAT_RGB, &stride, &bytes), TZF_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(stride, 0u);
  EXPECT_EQ(tzf_output_size(&info, 9, &stride, &bytes), TZF_ERROR_BAD_ARGUMENT);
  struct Size {
    int format;
    size_t stride;
  } sizes[] = {{TZF_FORMAT_NATIVE, 15}, {TZF_FORMAT_RGB, 15}, {TZF_FORMAT_RGBA, 20}};
  for (const Size& s : sizes) {
    EXPECT_EQ(tzf_output_size(&info, s.format, &stride, &bytes), TZF_OK);
    EXPECT_EQ(stride, s.stride) << s.format;
    EXPECT_EQ(bytes, s.stride * 3) << s.format;
  }
  // A 65535x65535 picture needs 16 GiB as RGBA: fine on 64-bit machines,
  // more than a 32-bit one can address.
  tzf_info huge = info;
  huge.width = 65535;
  huge.height = 65535;
  EXPECT_EQ(tzf_output_size(&huge, TZF_FORMAT_RGBA, &stride, &bytes),
            sizeof(size_t) > 4 ? TZF_OK : TZF_ERROR_TOO_LARGE);
}

struct ProgressLog {
  std::vector<uint32_t> rows;
  uint32_t cancel_at;  // rows_done answered with "stop"
};

int log_row(void* user, uint32_t done, uint32_t total) {
  ProgressLog& log = *static_cast<ProgressLog*>(user);
  EXPECT_EQ(total, 3u);
  log.rows.push_back(done);
  return done == log.cancel_at ? 1 : 0;
}

TEST(CodecApi, ProgressAndCancellation) {
  const Bytes file = small_24();
  // Every call is made, then each one cancels in turn, the last included.
  for (uint32_t cancel_at : {99u, 0u, 1u, 2u, 3u}) {
    ProgressLog log{{}, cancel_at};
    const tzf_progress progress{log_row, &log};
    std::vector<uint8_t> out(5 * 3 * 4);
    const int status =
        tzf_decode(file.data(), file.size(), TZF_FORMAT_RGBA, out.data(), 20, &progress);
    EXPECT_EQ(status, cancel_at > 3 ? TZF_OK : TZF_ERROR_CANCELLED) << cancel_at;
    std::vector<uint32_t> expected;
    for (uint32_t r = 0; r <= 3 && r <= cancel_at; ++r) expected.push_back(r);
    EXPECT_EQ(log.rows, expected) << cancel_at;
  }
  // A progress record without a function is no progress.
  const tzf_progress none{nullptr, nullptr};
  std::vector<uint8_t> out(45);
  EXPECT_EQ(tzf_decode(file.data(), file.size(), TZF_FORMAT_RGB, out.data(), 15, &none), TZF_OK);
}

// Sanitizers make frames larger; the measure is for the product's builds.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TZF_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TZF_TEST_SANITIZED 1
#endif
#if !defined(_WIN32) && !defined(TZF_TEST_SANITIZED)
// Runs `call` on a thread whose stack is painted, and measures how deep the
// stack went.
struct StackProbe {
  void (*call)(void*);
  void* argument;
};

void* probe_thread(void* data) {
  const StackProbe& p = *static_cast<const StackProbe*>(data);
  p.call(p.argument);
  return nullptr;
}

size_t stack_used(void (*call)(void*), void* argument) {
  constexpr size_t kStack = 256 * 1024;
  std::vector<uint8_t> stack(kStack, 0xA5);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack.data(), stack.size());
  StackProbe probe{call, argument};
  pthread_t thread;
  if (pthread_create(&thread, &attr, probe_thread, &probe) != 0) return SIZE_MAX;
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  size_t untouched = 0;
  while (untouched < kStack && stack[untouched] == 0xA5) ++untouched;
  return kStack - untouched;
}

struct Job {
  const Bytes* file;
  int format;
  bool top_down;
  bool filter_from_file;  // GetPicture on a file instead of tzf_decode
  std::string path;
  bool ok;
  bool from_kept = false;  // tzf_decode_kept on the kept bytes of the whole file
};

void run_job(void* data) {
  Job& j = *static_cast<Job*>(data);
  if (j.format < 0) {  // the same allocations, and no call: the thread's own use
    tzf_info info;
    memset(&info, 0, sizeof info);
    std::vector<uint8_t> out(j.file->size());
    j.ok = out.size() == j.file->size();
    return;
  }
  if (j.filter_from_file || j.format == 0) {
    TzfLocalHandle info = nullptr, pixels = nullptr;
    const int32_t status = j.filter_from_file
                               ? GetPicture(j.path.c_str(), 0, 0, &info, &pixels, nullptr, 0)
                               : GetPicture(reinterpret_cast<const char*>(j.file->data()),
                                            static_cast<int32_t>(j.file->size()), TZF_SOURCE_MEMORY,
                                            &info, &pixels, nullptr, 0);
    j.ok = status == 0;
    if (info != nullptr) LocalFree(info);
    if (pixels != nullptr) LocalFree(pixels);
    return;
  }
  tzf_info info;
  size_t stride = 0, bytes = 0;
  j.ok = tzf_read_info(j.file->data(), j.file->size(), &info) == TZF_OK &&
         tzf_output_size(&info, j.format, &stride, &bytes) == TZF_OK;
  std::vector<uint8_t> out(bytes);
  uint8_t* top = j.top_down ? out.data() : out.data() + (info.height - 1) * stride;
  const ptrdiff_t signed_stride =
      j.top_down ? static_cast<ptrdiff_t>(stride) : -static_cast<ptrdiff_t>(stride);
  if (j.from_kept) {
    tzf_extent extent;
    j.ok = j.ok && tzf_usable_extent(&info, &extent) == TZF_OK;
    std::vector<uint8_t> kept(j.ok ? extent.kept_bytes : 0);
    const uint64_t held =
        j.ok ? tzf_keep(&extent, 0, j.file->data(), j.file->size(), kept.data()) : 0;
    tzf_result result;
    j.ok = j.ok && tzf_decode_kept(&info, kept.data(), held, j.format, top, signed_stride, nullptr,
                                   &result) == TZF_OK;
    return;
  }
  j.ok = j.ok && tzf_decode(j.file->data(), j.file->size(), j.format, top, signed_stride,
                            nullptr) == TZF_OK;
}

TEST(CodecApi, EveryCallStaysUnderSixteenKibibytesOfStack) {
  // Wide pictures with runs, so that every path of the decoder is taken.
  PictureParts parts = random_picture_parts(700, 40, 3);
  const Bytes true_colour = make_picture(parts);
  parts.bits_per_pixel = 8;
  const Bytes palette = make_picture(parts);
  TempFile file(true_colour);
  struct Case {
    const char* what;
    Job job;
  } cases[] = {
      {"tzf_decode native, top-down", {&true_colour, TZF_FORMAT_NATIVE, true, false, "", false}},
      {"tzf_decode native, bottom-up", {&true_colour, TZF_FORMAT_NATIVE, false, false, "", false}},
      {"tzf_decode RGBA of 8-bit", {&palette, TZF_FORMAT_RGBA, true, false, "", false}},
      {"tzf_decode RGB of 24-bit", {&true_colour, TZF_FORMAT_RGB, false, false, "", false}},
      {"tzf_decode_kept RGBA of 8-bit", {&palette, TZF_FORMAT_RGBA, true, false, "", false, true}},
      {"tzf_decode_kept RGB of 24-bit, bottom-up",
       {&true_colour, TZF_FORMAT_RGB, false, false, "", false, true}},
      {"GetPicture from memory", {&palette, 0, false, false, "", false}},
      {"GetPicture from a file", {&true_colour, 0, false, true, file.path, false}},
  };
  Job nothing{&true_colour, -1, false, false, "", false};
  const size_t thread = stack_used(run_job, &nothing);
  for (Case& c : cases) {
    const size_t used = stack_used(run_job, &c.job) - thread;
    EXPECT_TRUE(c.job.ok) << c.what;
    EXPECT_LT(used, 16u * 1024u) << c.what;
    printf("stack used by %s: %zu bytes\n", c.what, used);
  }
}
#endif

}  // namespace
