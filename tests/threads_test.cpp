// Eight threads decoding at the same time through the entry points, from
// memory images and files, with progress callbacks, must each get exactly
// what a decoding on its own gives. Built into every leg; the
// ThreadSanitizer leg of scripts/test.sh runs these tests alone.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "codec/pixel_decoder.h"
#include "plugin/status_codes.h"
#include "tests/picture_decode.h"
#include "tests/test_pictures.h"
#include "tzf/tzf.h"

#if defined(HAVE_TZF_ENCODER)
#include "encoder/tzf_encoder.h"
#endif
#if !defined(_WIN32)
#include "source/platform_probe.h"
#endif

namespace {

constexpr int kThreads = 8;

// Pixels with repeats at several distances and some noise, so that an
// encoded picture has runs of different displacements and literals.
Bytes patterned_pixels(int32_t width, int32_t height, int16_t bits, uint32_t seed) {
  const size_t bpp = static_cast<size_t>(bits / 8);
  Bytes noise = random_bytes(static_cast<size_t>(width) * height * bpp, seed);
  Bytes pixels(noise.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    const size_t pixel = i / bpp;
    const size_t row = pixel / static_cast<size_t>(width);
    const size_t column = pixel % static_cast<size_t>(width);
    pixels[i] =
        noise[i] % 7 == 0 ? noise[i] : static_cast<uint8_t>((column / 4 + row / 3) * 29 + i % bpp);
  }
  return pixels;
}

struct TestPicture {
  Bytes file;
  Bytes rows;  // the pixel block a correct decoding gives, when known
};

// Encoded when the encoder is built, else literal pixels with a stretch of
// runs at the end (whose result the single-threaded decoding supplies).
TestPicture make_test_picture(int32_t width, int32_t height, int16_t bits, uint32_t seed) {
  const Bytes pixels = patterned_pixels(width, height, bits, seed);
  TestPicture p;
#if defined(HAVE_TZF_ENCODER)
  const Bytes palette = bits == 8 ? test_palette() : Bytes();
  tzf::encoder::EncoderInput input;
  input.width = width;
  input.height = height;
  input.bits_per_pixel = bits;
  input.pixels = pixels;
  input.palette = palette;
  p.file = tzf::encoder::Encode(input).file;
  p.rows = to_dib_rows(pixels, width, height, bits);
#else
  PictureParts parts;
  parts.width = width;
  parts.height = height;
  parts.bits_per_pixel = bits;
  const size_t count = static_cast<size_t>(width) * height;
  parts.flags.assign((count + 7) / 8, 0);
  for (size_t i = parts.flags.size() / 2; i < parts.flags.size(); ++i) parts.flags[i] = 0x92;
  parts.commands = random_bytes(count / 3 + 1, seed);
  parts.literals = pixels;
  p.file = make_picture(parts);
#endif
  return p;
}

// Progress record of one call; host_data points at it, so a callback that
// reached the wrong thread's record would show up as a wrong total.
struct ProgressRecord {
  int32_t expected_total = 0;
  int32_t cancel_at = -1;
  int32_t calls = 0;
  bool in_order = true;
};

int32_t TZF_CALL record_progress(int32_t rows_done, int32_t total_rows, intptr_t host_data) {
  ProgressRecord* r = reinterpret_cast<ProgressRecord*>(host_data);
  if (rows_done != r->calls || total_rows != r->expected_total) r->in_order = false;
  ++r->calls;
  return rows_done == r->cancel_at ? 1 : 0;
}

enum class Source { kMemory, kFile };

// What one thread saw; checked on the main thread after joining.
struct ThreadOutcome {
  int32_t supported = -1;
  int32_t info_status = -1;
  PictureInfoRecord info{};
  std::vector<Decoded> decoded;  // one per round; cancelled rounds hold their status only
  std::vector<ProgressRecord> progress;
  int32_t cancelled_status = -1;
  bool cancelled_left_handles = false;
  int32_t live_blocks = 0;  // platform probe of this thread after every round
  int32_t open_files = 0;
  uint64_t peak_bytes = 0;
};

struct ThreadJob {
  int32_t width;
  int32_t height;
  int16_t bits;
  Source first;  // rounds alternate between memory and file from here
};

Decoded decode_with_progress(const Bytes& file, const ExactBuffer& memory, const TempFile* disk,
                             Source source, ProgressRecord& progress) {
  TzfLocalHandle info = nullptr;
  TzfLocalHandle pixels = nullptr;
  const intptr_t data = reinterpret_cast<intptr_t>(&progress);
  const int32_t status =
      source == Source::kMemory
          ? GetPicture(memory.chars(), static_cast<int32_t>(memory.size), 1, &info, &pixels,
                       record_progress, data)
          : GetPicture(disk->path.c_str(), 0, 0, &info, &pixels, record_progress, data);
  return take_blocks(status, info, pixels, file);
}

void run_thread(const ThreadJob& job, const Bytes& file, const TempFile& disk, int rounds,
                std::atomic<int>& ready, ThreadOutcome& out) {
  const ExactBuffer memory = exact_copy(file);
  ExactBuffer head = exact_copy(Bytes(2048, 0));
  memcpy(head.data.get(), file.data(), file.size() < 2048 ? file.size() : 2048);
#if !defined(_WIN32)
  platform_probe_reset();
#endif
  // Start together, so that the decodings overlap.
  ready.fetch_add(1);
  while (ready.load() < kThreads) std::this_thread::yield();

  out.supported = IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.data.get()));
  out.info_status = GetPictureInfo(memory.chars(), static_cast<int32_t>(memory.size), 1, &out.info);
  for (int round = 0; round < rounds; ++round) {
    const bool flip = round % 2 == 1;
    const Source source = (job.first == Source::kMemory) != flip ? Source::kMemory : Source::kFile;
    ProgressRecord progress;
    progress.expected_total = job.height;
    out.decoded.push_back(decode_with_progress(file, memory, &disk, source, progress));
    out.progress.push_back(progress);
  }
  // One round cancelled half way.
  ProgressRecord cancel;
  cancel.expected_total = job.height;
  cancel.cancel_at = job.height / 2;
  Decoded cancelled = decode_with_progress(file, memory, &disk, job.first, cancel);
  out.cancelled_status = cancelled.status;
  out.cancelled_left_handles = !cancelled.info_null || !cancelled.pixels_null;
#if !defined(_WIN32)
  out.live_blocks = platform_probe().live_blocks;
  out.open_files = platform_probe().open_files;
  out.peak_bytes = platform_probe().peak_bytes;
#endif
}

TEST(Threads, EightPicturesAtOnceMatchOneAtATime) {
  const ThreadJob jobs[kThreads] = {
      {97, 61, 24, Source::kMemory}, {128, 40, 8, Source::kFile},    {33, 150, 24, Source::kFile},
      {1, 300, 8, Source::kMemory},  {255, 17, 24, Source::kMemory}, {61, 63, 8, Source::kFile},
      {200, 30, 8, Source::kMemory}, {5, 5, 24, Source::kFile},
  };
  constexpr int kRounds = 4;
  std::vector<TestPicture> pictures;
  std::vector<Decoded> alone;
  std::vector<std::unique_ptr<TempFile>> files;
  for (int i = 0; i < kThreads; ++i) {
    const ThreadJob& j = jobs[i];
    pictures.push_back(make_test_picture(j.width, j.height, j.bits, 100 + i));
    files.push_back(std::make_unique<TempFile>(pictures.back().file));
    alone.push_back(decode_memory(pictures.back().file));
    ASSERT_EQ(alone.back().status, kStatusSuccess) << "picture " << i;
    if (!pictures.back().rows.empty()) {
      ASSERT_EQ(alone.back().pixels, pictures.back().rows) << "picture " << i;
    }
  }

  std::atomic<int> ready{0};
  std::vector<ThreadOutcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(run_thread, std::cref(jobs[i]), std::cref(pictures[i].file),
                         std::cref(*files[i]), kRounds, std::ref(ready), std::ref(outcomes[i]));
  }
  for (std::thread& t : threads) t.join();

  for (int i = 0; i < kThreads; ++i) {
    const ThreadJob& j = jobs[i];
    const ThreadOutcome& o = outcomes[i];
    EXPECT_EQ(o.supported, 1) << "thread " << i;
    EXPECT_EQ(o.info_status, kStatusSuccess) << "thread " << i;
    EXPECT_EQ(o.info.width, j.width) << "thread " << i;
    EXPECT_EQ(o.info.height, j.height) << "thread " << i;
    EXPECT_EQ(o.info.color_depth, j.bits) << "thread " << i;
    ASSERT_EQ(o.decoded.size(), static_cast<size_t>(kRounds));
    for (int r = 0; r < kRounds; ++r) {
      const Decoded& d = o.decoded[r];
      EXPECT_EQ(d.status, kStatusSuccess) << "thread " << i << " round " << r;
      EXPECT_EQ(d.info, alone[i].info) << "thread " << i << " round " << r;
      EXPECT_EQ(d.pixels, alone[i].pixels) << "thread " << i << " round " << r;
      EXPECT_TRUE(o.progress[r].in_order) << "thread " << i << " round " << r;
      EXPECT_EQ(o.progress[r].calls, j.height + 1) << "thread " << i << " round " << r;
    }
    EXPECT_EQ(o.cancelled_status, kStatusCancelled) << "thread " << i;
    EXPECT_FALSE(o.cancelled_left_handles) << "thread " << i;
#if !defined(_WIN32)
    // The probe's record is the thread's own: it saw only its own pictures
    // (a file's literals pass through a chunk).
    const uint64_t pixels = static_cast<uint64_t>(j.width) * j.height;
    const uint64_t bound = (j.bits == 8 ? 1064u : 40u) +
                           static_cast<uint64_t>(dib_stride(j.width, j.bits)) * j.height +
                           (pixels + 7) / 8 + (pixels + 2) / 3 + kLiteralChunk;
    EXPECT_EQ(o.live_blocks, 0) << "thread " << i;
    EXPECT_EQ(o.open_files, 0) << "thread " << i;
    EXPECT_GT(o.peak_bytes, 0u) << "thread " << i;
    EXPECT_LE(o.peak_bytes, bound) << "thread " << i;
#endif
  }
}

// The same memory image and the same file read by eight threads at once.
TEST(Threads, OnePictureSharedByEightThreads) {
  const TestPicture picture = make_test_picture(150, 90, 24, 7);
  const Decoded alone = decode_memory(picture.file);
  ASSERT_EQ(alone.status, kStatusSuccess);
  const ExactBuffer shared = exact_copy(picture.file);
  const TempFile disk(picture.file);

  std::atomic<int> ready{0};
  std::vector<Decoded> results(kThreads * 2);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      ProgressRecord from_memory;
      from_memory.expected_total = 90;
      results[2 * i] =
          decode_with_progress(picture.file, shared, &disk, Source::kMemory, from_memory);
      ProgressRecord from_file;
      from_file.expected_total = 90;
      results[2 * i + 1] =
          decode_with_progress(picture.file, shared, &disk, Source::kFile, from_file);
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t k = 0; k < results.size(); ++k) {
    EXPECT_EQ(results[k].status, kStatusSuccess) << k;
    EXPECT_EQ(results[k].info, alone.info) << k;
    EXPECT_EQ(results[k].pixels, alone.pixels) << k;
  }
}

// The C interface on one picture from eight threads at once, each in its
// own layout, against the same layouts decoded one at a time.
TEST(Threads, CodecDecodesOnePictureInEightLayoutsAtOnce) {
  const TestPicture picture = make_test_picture(150, 90, 8, 11);
  const ExactBuffer shared = exact_copy(picture.file);
  auto decode = [&shared](int i) {
    const int format = 1 + i % 3;
    const size_t row = 150 * (format == TZF_FORMAT_RGBA ? 4 : format == TZF_FORMAT_RGB ? 3 : 1);
    Bytes out(row * 90);
    const bool top_down = i % 2 == 0;
    uint8_t* top = top_down ? out.data() : out.data() + row * 89;
    const ptrdiff_t stride = top_down ? static_cast<ptrdiff_t>(row) : -static_cast<ptrdiff_t>(row);
    if (tzf_decode(shared.data.get(), shared.size, format, top, stride, nullptr) != TZF_OK) {
      out.clear();
    }
    return out;
  };
  std::vector<Bytes> alone(kThreads);
  for (int i = 0; i < kThreads; ++i) alone[i] = decode(i);
  std::atomic<int> ready{0};
  std::vector<Bytes> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      results[i] = decode(i);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_FALSE(results[i].empty()) << i;
    EXPECT_EQ(results[i], alone[i]) << i;
  }
}

// Encodings at once, through every path of the encoder (both efforts, both
// depths, a palette chosen for the picture and error diffusion), must write
// the bytes an encoding on its own writes.
TEST(Threads, EightEncodingsAtOnceMatchOneAtATime) {
  struct Job {
    uint32_t width, height;
    int format, effort, depth;
  } const jobs[kThreads] = {
      {97, 61, TZF_FORMAT_RGB, TZF_EFFORT_SMALLEST, TZF_DEPTH_24},
      {128, 40, TZF_FORMAT_RGB, TZF_EFFORT_FAST, TZF_DEPTH_24},
      {33, 150, TZF_FORMAT_RGBA, TZF_EFFORT_SMALLEST, TZF_DEPTH_8},
      {1, 300, TZF_FORMAT_RGB, TZF_EFFORT_FAST, TZF_DEPTH_8},
      {255, 17, TZF_FORMAT_NATIVE, TZF_EFFORT_SMALLEST, TZF_DEPTH_24},
      {61, 63, TZF_FORMAT_RGBA, TZF_EFFORT_FAST, TZF_DEPTH_24},
      {200, 30, TZF_FORMAT_RGB, TZF_EFFORT_SMALLEST, TZF_DEPTH_8},
      {5, 5, TZF_FORMAT_RGB, TZF_EFFORT_FAST, TZF_DEPTH_8},
  };
  auto encode = [](const Job& j, const Bytes& pixels) {
    const size_t bpp = j.format == TZF_FORMAT_RGBA ? 4 : 3;
    tzf_image image{};
    image.width = j.width;
    image.height = j.height;
    image.format = j.format;
    image.pixels = pixels.data();
    image.stride = static_cast<ptrdiff_t>(j.width * bpp);
    tzf_encode_options options{};
    options.effort = j.effort;
    options.bits_per_pixel = j.depth;
    size_t max_bytes = 0, work_bytes = 0;
    Bytes file;
    if (tzf_encode_size(&image, &options, &max_bytes, &work_bytes) != TZF_OK) return file;
    Bytes work(work_bytes);
    file.resize(max_bytes);
    tzf_encode_result result{};
    if (tzf_encode(&image, &options, work.data(), work.size(), file.data(), file.size(), &result) !=
        TZF_OK) {
      return Bytes();
    }
    file.resize(result.size);
    return file;
  };
  std::vector<Bytes> pixels, alone;
  for (int i = 0; i < kThreads; ++i) {
    const Job& j = jobs[i];
    const size_t bpp = j.format == TZF_FORMAT_RGBA ? 4 : 3;
    pixels.push_back(random_bytes(static_cast<size_t>(j.width) * j.height * bpp, 300 + i));
    for (size_t k = 0; k < pixels.back().size(); ++k) pixels.back()[k] &= 0xF0;  // some repeats
    alone.push_back(encode(j, pixels.back()));
    ASSERT_FALSE(alone.back().empty()) << "picture " << i;
  }
  std::atomic<int> ready{0};
  std::vector<Bytes> together(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      together[i] = encode(jobs[i], pixels[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(together[i], alone[i]) << "picture " << i;
}

}  // namespace
