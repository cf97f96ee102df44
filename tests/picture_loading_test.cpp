// GetPicture: the two DIB blocks, the progress protocol, cancellation, and
// every failure path leaving nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codec/pixel_decoder.h"
#include "plugin/status_codes.h"
#include "tests/picture_decode.h"
#include "tests/test_pictures.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "source/platform_probe.h"
#endif

namespace {

uint32_t le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

struct ProgressLog {
  std::vector<std::pair<int32_t, int32_t>> calls;
  intptr_t data_seen = 0;
  int32_t cancel_at = -1;  // rows_done value answered with "stop"
};

int32_t TZF_CALL log_progress(int32_t done, int32_t total, intptr_t data) {
  ProgressLog* log = reinterpret_cast<ProgressLog*>(data);
  log->calls.emplace_back(done, total);
  log->data_seen = data;
  return done == log->cancel_at ? 1 : 0;
}

// A picture whose header declares 0xFFFFFFFF-byte flag and command streams.
PictureParts declaring_huge_streams(int32_t width, int32_t height, int16_t bits) {
  PictureParts parts;
  parts.width = width;
  parts.height = height;
  parts.bits_per_pixel = bits;
  parts.override_lengths = true;
  parts.flag_length = 0xFFFFFFFFu;
  parts.command_length = 0xFFFFFFFFu;
  return parts;
}

Bytes literal_picture(int32_t width, int32_t height, int16_t bits, uint32_t seed) {
  Bytes pixels = random_bytes(static_cast<size_t>(width) * height * (bits / 8), seed);
  return make_literal_picture(width, height, bits, pixels);
}

TEST(InfoBlock, HeaderAndColourTableOfEachDepth) {
  struct Case {
    int16_t bits;
    size_t size;
    uint32_t colours_used;
  } cases[] = {{8, 40 + 1024, 256}, {24, 40, 0}};
  for (const Case& c : cases) {
    Decoded d = decode_memory(literal_picture(13, 5, c.bits, 1));
    ASSERT_EQ(d.status, kStatusSuccess);
    ASSERT_EQ(d.info.size(), c.size);
    EXPECT_EQ(le32(d.info, 0), 40u);                  // biSize
    EXPECT_EQ(le32(d.info, 4), 13u);                  // biWidth
    EXPECT_EQ(le32(d.info, 8), 5u);                   // biHeight, positive: bottom row first
    EXPECT_EQ(d.info[12] | d.info[13] << 8, 1);       // biPlanes
    EXPECT_EQ(d.info[14] | d.info[15] << 8, c.bits);  // biBitCount
    for (size_t at : {16, 20, 24, 28, 36}) EXPECT_EQ(le32(d.info, at), 0u) << at;
    EXPECT_EQ(le32(d.info, 32), c.colours_used);  // biClrUsed
    if (c.bits == 8) {
      EXPECT_EQ(Bytes(d.info.begin() + 40, d.info.end()), test_palette());
    }
  }
}

TEST(PixelBlock, RowsArePaddedToFourBytesWithZeros) {
  struct Case {
    int32_t width;
    int16_t bits;
    size_t block;
  } cases[] = {{5, 24, 32}, {8, 8, 16}, {1, 8, 8}, {3, 24, 24}, {4, 24, 24}, {7, 8, 16}};
  for (const Case& c : cases) {
    Bytes pixels(static_cast<size_t>(c.width) * 2 * (c.bits / 8), 0xAB);
    Decoded d = decode_memory(make_literal_picture(c.width, 2, c.bits, pixels));
    ASSERT_EQ(d.status, kStatusSuccess);
    ASSERT_EQ(d.pixels.size(), c.block);
    EXPECT_EQ(d.pixels, to_dib_rows(pixels, c.width, 2, c.bits)) << c.width;
  }
}

TEST(Progress, OneCallBeforeEachRowAndOneAfterTheLast) {
  ProgressLog log;
  Decoded d =
      decode_memory(literal_picture(4, 6, 24, 2), log_progress, reinterpret_cast<intptr_t>(&log));
  ASSERT_EQ(d.status, kStatusSuccess);
  std::vector<std::pair<int32_t, int32_t>> expected;
  for (int32_t r = 0; r <= 6; ++r) expected.emplace_back(r, 6);
  EXPECT_EQ(log.calls, expected);
  EXPECT_EQ(log.data_seen, reinterpret_cast<intptr_t>(&log));
}

TEST(Progress, CancellingAtAnyCallLeavesNothing) {
  for (int32_t cancel_at : {0, 3, 6}) {  // before the first row, in the middle, the final call
    ProgressLog log;
    log.cancel_at = cancel_at;
    Decoded d =
        decode_memory(literal_picture(4, 6, 8, 3), log_progress, reinterpret_cast<intptr_t>(&log));
    EXPECT_EQ(d.status, kStatusCancelled) << cancel_at;
    EXPECT_TRUE(d.info_null && d.pixels_null) << cancel_at;
    EXPECT_EQ(log.calls.size(), static_cast<size_t>(cancel_at + 1)) << "no call after the stop";
  }
}

TEST(Sources, MemoryFileAndOffsetAgree) {
  Bytes picture = literal_picture(31, 17, 24, 4);
  Decoded memory = decode_memory(picture);
  ASSERT_EQ(memory.status, kStatusSuccess);
  for (int32_t offset : {0, 1, 4096, 100000}) {
    Decoded file = decode_file(picture, offset);
    ASSERT_EQ(file.status, kStatusSuccess) << offset;
    EXPECT_EQ(file.info, memory.info) << offset;
    EXPECT_EQ(file.pixels, memory.pixels) << offset;
  }
}

TEST(Sources, EveryTruncationOfASmallPictureDecodesOrFailsCleanly) {
  PictureParts parts;
  parts.width = 7;
  parts.height = 5;
  parts.bits_per_pixel = 8;
  parts.flags = {0x01, 0x10, 0x80, 0x00, 0x20};
  parts.commands = {0x9F, 0x73, 0x05};
  parts.literals = random_bytes(20, 5);
  Bytes full = make_picture(parts);
  Decoded whole = decode_memory(full);
  ASSERT_EQ(whole.status, kStatusSuccess);
  for (size_t length = 0; length <= full.size(); ++length) {
    Bytes cut(full.begin(), full.begin() + static_cast<ptrdiff_t>(length));
    Decoded d = decode_memory(cut);
    // The acceptance rule reads to byte 43; past that, missing data is zero.
    int32_t expected = length >= 42 ? kStatusSuccess : kStatusNotTzf;
    ASSERT_EQ(d.status, expected) << length;
    ASSERT_EQ(d.info_null, expected != kStatusSuccess) << length;
    if (length == full.size()) {
      EXPECT_EQ(d.pixels, whole.pixels);
    }
  }
}

TEST(Failures, HostileHeadersAreRefusedBeforeAllocating) {
  struct Case {
    const char* what;
    int32_t width;
    int32_t height;
    int16_t bits;
    int32_t status;
  } cases[] = {
      {"zero width", 0, 10, 24, kStatusNotTzf},
      {"zero height", 10, 0, 8, kStatusNotTzf},
      {"negative width", -5, 10, 24, kStatusNotTzf},
      {"negative height", 10, INT32_MIN, 8, kStatusNotTzf},
      {"block over 4 GiB (24-bit)", 65536, 65536, 24, kStatusOutOfMemory},
      {"block over 4 GiB (8-bit)", INT32_MAX, INT32_MAX, 8, kStatusOutOfMemory},
      {"block just over 4 GiB", 65536, 65537, 8, kStatusOutOfMemory},
  };
  for (const Case& c : cases) {
    PictureParts parts = declaring_huge_streams(c.width, c.height, c.bits);
#if !defined(_WIN32)
    platform_probe_reset();
#endif
    Decoded d = decode_memory(make_header(parts));
    EXPECT_EQ(d.status, c.status) << c.what;
    EXPECT_TRUE(d.info_null && d.pixels_null) << c.what;
#if !defined(_WIN32)
    EXPECT_EQ(platform_probe().peak_bytes, 0u) << c.what;
#endif
  }
}

TEST(Failures, NullArgumentsNeverCrash) {
  TzfLocalHandle h = reinterpret_cast<TzfLocalHandle>(1);
  Bytes picture = literal_picture(3, 3, 24, 6);
  EXPECT_EQ(GetPicture(reinterpret_cast<const char*>(picture.data()),
                       static_cast<int32_t>(picture.size()), 1, nullptr, &h, nullptr, 0),
            kStatusOutOfMemory);
  EXPECT_EQ(h, nullptr);
  h = reinterpret_cast<TzfLocalHandle>(1);
  EXPECT_EQ(GetPicture(reinterpret_cast<const char*>(picture.data()),
                       static_cast<int32_t>(picture.size()), 1, &h, nullptr, nullptr, 0),
            kStatusOutOfMemory);
  EXPECT_EQ(h, nullptr);
  TzfLocalHandle info = h, pixels = h;
  EXPECT_EQ(GetPicture(nullptr, 100, 1, &info, &pixels, nullptr, 0), kStatusNotTzf);
  EXPECT_EQ(GetPicture(nullptr, 0, 0, &info, &pixels, nullptr, 0), kStatusFileError);
  EXPECT_EQ(GetPicture("/nonexistent/tzf/x.tzf", 0, 0, &info, &pixels, nullptr, 0),
            kStatusFileError);
  EXPECT_TRUE(info == nullptr && pixels == nullptr);
}

#if !defined(_WIN32)

// Every row of the failure table, provoked through the platform layer: the
// status, both handle locations null, every allocation freed, the file closed.
TEST(Failures, EveryFailurePathLeavesNothingBehind) {
  PictureParts parts;
  parts.width = 9;
  parts.height = 40;
  parts.bits_per_pixel = 8;
  parts.flags.assign(45, 0x11);
  parts.commands.assign(30, 0x7A);
  parts.literals = random_bytes(200, 8);
  Bytes picture = make_picture(parts);
  TempFile file(picture);

  struct Case {
    const char* what;
    bool from_file;
    uint32_t PlatformProbe::*fail_field;
    uint32_t at;
    int32_t status;
  } cases[] = {
      {"info block allocation", false, &PlatformProbe::fail_local_alloc_at, 1, kStatusOutOfMemory},
      {"pixel block allocation", false, &PlatformProbe::fail_local_alloc_at, 2, kStatusOutOfMemory},
      {"info block lock", false, &PlatformProbe::fail_local_lock_at, 1, kStatusLockFailed},
      {"pixel block lock", false, &PlatformProbe::fail_local_lock_at, 2, kStatusLockFailed},
      {"flag buffer", true, &PlatformProbe::fail_work_alloc_at, 1, kStatusOutOfMemory},
      {"command buffer", true, &PlatformProbe::fail_work_alloc_at, 2, kStatusOutOfMemory},
      {"literal buffer", true, &PlatformProbe::fail_work_alloc_at, 3, kStatusOutOfMemory},
      {"header read", true, &PlatformProbe::fail_read_at, 1, kStatusFileError},
      {"colour table read", true, &PlatformProbe::fail_read_at, 2, kStatusFileError},
      {"flag stream read", true, &PlatformProbe::fail_read_at, 3, kStatusFileError},
      {"command stream read", true, &PlatformProbe::fail_read_at, 4, kStatusFileError},
      {"literal read", true, &PlatformProbe::fail_read_at, 5, kStatusFileError},
  };
  for (const Case& c : cases) {
    platform_probe_reset();
    platform_probe().*c.fail_field = c.at;
    TzfLocalHandle info = reinterpret_cast<TzfLocalHandle>(1);
    TzfLocalHandle pixels = reinterpret_cast<TzfLocalHandle>(1);
    int32_t status = c.from_file ? GetPicture(file.path.c_str(), 0, 0, &info, &pixels, nullptr, 0)
                                 : GetPicture(reinterpret_cast<const char*>(picture.data()),
                                              static_cast<int32_t>(picture.size()), 1, &info,
                                              &pixels, nullptr, 0);
    const PlatformProbe& probe = platform_probe();
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_EQ(info, nullptr) << c.what;
    EXPECT_EQ(pixels, nullptr) << c.what;
    EXPECT_EQ(probe.live_blocks, 0) << c.what;
    EXPECT_EQ(probe.live_bytes, 0u) << c.what;
    EXPECT_EQ(probe.open_files, 0) << c.what;
  }
}

TEST(Failures, PositioningToTheOffsetFails) {
  Bytes picture = literal_picture(4, 4, 24, 9);
  Bytes shifted(100 + picture.size(), 0);
  std::copy(picture.begin(), picture.end(), shifted.begin() + 100);
  TempFile file(shifted);
  platform_probe_reset();
  platform_probe().fail_seek_at = 1;
  TzfLocalHandle info = nullptr, pixels = nullptr;
  EXPECT_EQ(GetPicture(file.path.c_str(), 100, 0, &info, &pixels, nullptr, 0), kStatusFileError);
  EXPECT_EQ(platform_probe().open_files, 0);
  EXPECT_TRUE(info == nullptr && pixels == nullptr);
}

TEST(Failures, CancellationFreesEverything) {
  for (int32_t cancel_at : {0, 2, 4}) {
    platform_probe_reset();
    ProgressLog log;
    log.cancel_at = cancel_at;
    Bytes picture = literal_picture(5, 4, 24, 10);
    TempFile file(picture);
    TzfLocalHandle info = nullptr, pixels = nullptr;
    EXPECT_EQ(GetPicture(file.path.c_str(), 0, 0, &info, &pixels, log_progress,
                         reinterpret_cast<intptr_t>(&log)),
              kStatusCancelled);
    EXPECT_EQ(platform_probe().live_blocks, 0);
    EXPECT_EQ(platform_probe().open_files, 0);
  }
}

TEST(Failures, DeclaredStreamsBeyondWhatDecodingConsumesAreNotLoaded) {
  // Files declaring 0xFFFFFFFF-byte streams: the buffers hold no more than
  // decoding can consume (ceil(w*h/8) flag bytes, ceil(w*h/3) command bytes)
  // and no more than the file really holds behind the header.
  struct Case {
    int32_t width;
    int32_t height;
    int16_t bits;
    size_t stream_bytes;  // bytes present after the header and colour table
  } cases[] = {{1, 1, 24, 0},     {100, 100, 24, 0},    {1000, 1000, 8, 0}, {7, 3, 8, 100},
               {64, 64, 24, 300}, {64, 64, 24, 100000}, {2000, 2000, 8, 0}};
  for (const Case& c : cases) {
    PictureParts parts = declaring_huge_streams(c.width, c.height, c.bits);
    parts.flags = random_bytes(c.stream_bytes, 12);
    Bytes file = make_picture(parts);
    const uint64_t pixels = static_cast<uint64_t>(c.width) * c.height;
    const uint64_t blocks =
        (c.bits == 8 ? 1064 : 40) + static_cast<uint64_t>(dib_stride(c.width, c.bits)) * c.height;
    const uint64_t flag_bound = std::min<uint64_t>((pixels + 7) / 8, c.stream_bytes);
    const uint64_t command_bound = (pixels + 2) / 3 * (flag_bound < c.stream_bytes);
    // A file's parts of up to 1 MiB are read without measuring the file
    // first, into a buffer of the part's usable size; larger ones get no
    // more than the file holds. Its literals pass through a chunk.
    constexpr uint64_t kUnmeasured = uint64_t{1} << 20;
    auto file_part = [&](uint64_t usable, uint64_t held) {
      return usable <= kUnmeasured ? usable : held;
    };
    const uint64_t file_bound = blocks + file_part((pixels + 7) / 8, flag_bound) +
                                file_part((pixels + 2) / 3, command_bound) + kLiteralChunk;
    for (bool from_file : {false, true}) {
      platform_probe_reset();
      Decoded d = from_file ? decode_file(file) : decode_memory(file);
      EXPECT_EQ(d.status, kStatusSuccess);
      // A memory image's parts are used in place.
      EXPECT_LE(platform_probe().peak_bytes, from_file ? file_bound : blocks)
          << c.width << "x" << c.height << (from_file ? " file" : " memory");
      EXPECT_EQ(platform_probe().live_blocks, 0);
    }
  }
}

// A picture given by name that cannot be positioned (a pipe) is read on: at
// offset 0 every read is sequential. Streams declared longer than the pipe
// holds read as zero.
TEST(Sources, PipeByNameDecodesLikeMemory) {
  const PictureParts parts = random_picture_parts(37, 9, 41);
  PictureParts declaring_more = parts;
  declaring_more.override_lengths = true;
  declaring_more.flag_length = static_cast<uint32_t>(parts.flags.size());
  declaring_more.command_length = 0x7FFFFFFFu;
  for (const Bytes& file : {make_picture(parts), make_picture(declaring_more)}) {
    const std::string path = testing::TempDir() + "tzf-pipe-" + std::to_string(getpid());
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::thread writer([&path, &file] {
      FILE* f = fopen(path.c_str(), "wb");
      if (f != nullptr) {
        fwrite(file.data(), 1, file.size(), f);
        fclose(f);
      }
    });
    TzfLocalHandle info = nullptr, pixels_handle = nullptr;
    const int32_t status = GetPicture(path.c_str(), 0, 0, &info, &pixels_handle, nullptr, 0);
    writer.join();
    unlink(path.c_str());
    const Decoded got = take_blocks(status, info, pixels_handle, file);
    const Decoded want = decode_memory(file);
    EXPECT_EQ(got.status, kStatusSuccess);
    EXPECT_EQ(got.pixels, want.pixels);
    EXPECT_EQ(got.info, want.info);
  }
}
#endif

}  // namespace
