#include "source/image_reader.h"

#include <gtest/gtest.h>

#include "plugin/status_codes.h"
#include "source/platform.h"
#include "tests/test_pictures.h"

#if defined(_WIN32)
#include <fcntl.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// The host's own file handle, as IsSupported receives it.
struct HostHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  explicit HostHandle(const std::string& path) {
    handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  }
  ~HostHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  uint32_t position() const { return SetFilePointer(handle, 0, nullptr, FILE_CURRENT); }
  void seek(uint32_t to) { SetFilePointer(handle, static_cast<LONG>(to), nullptr, FILE_BEGIN); }
};

TEST(ReaderMemory, ShortDataIsZeroFilled) {
  Bytes data = random_bytes(10, 1);
  ExactBuffer buffer = exact_copy(data);
  ImageReader reader;
  ASSERT_TRUE(reader_open_for_picture(reader, buffer.chars(), 10, 1));
  uint8_t out[64];
  memset(out, 0xEE, sizeof out);
  ASSERT_TRUE(reader_read(reader, out, 64));
  EXPECT_EQ(memcmp(out, data.data(), 10), 0);
  for (int i = 10; i < 64; ++i) ASSERT_EQ(out[i], 0) << i;
  ASSERT_TRUE(reader_read(reader, out, 8));  // past the end: still success, all zero
  for (int i = 0; i < 8; ++i) ASSERT_EQ(out[i], 0);
  reader_close(reader);
  EXPECT_EQ(reader.status, kStatusSuccess);
}

TEST(ReaderMemory, SourceFlagsSelectTheMode) {
  Bytes data = {'T', 'Z', 'F'};
  ExactBuffer buffer = exact_copy(data);
  struct Case {
    uint32_t flags;
    bool memory;
  } cases[] = {{1, true}, {0x11, true}, {0xF9, true}, {0, false}, {2, false}, {3, false}};
  for (const Case& c : cases) {
    ImageReader reader;
    // As a file name the three bytes are not even terminated; use a real path instead.
    const char* source = c.memory ? buffer.chars() : "/nonexistent/tzf/file";
    bool opened = reader_open_for_picture(reader, source, 3, c.flags);
    EXPECT_EQ(opened, c.memory) << c.flags;
    EXPECT_EQ(reader_is_memory(reader), true) << c.flags;  // a failed open leaves no handle
    reader_close(reader);
    EXPECT_EQ(reader.status, c.memory ? kStatusSuccess : kStatusFileError) << c.flags;
  }
}

TEST(ReaderMemory, NegativeOrNullImageReadsAsEmpty) {
  Bytes data = random_bytes(16, 2);
  ExactBuffer buffer = exact_copy(data);
  struct Case {
    const char* source;
    int32_t length;
  } cases[] = {{buffer.chars(), -1}, {buffer.chars(), INT32_MIN}, {nullptr, 100}, {nullptr, 0}};
  for (const Case& c : cases) {
    ImageReader reader;
    ASSERT_TRUE(reader_open_for_picture(reader, c.source, c.length, 1));
    uint8_t out[8];
    memset(out, 0xEE, sizeof out);
    ASSERT_TRUE(reader_read(reader, out, sizeof out));
    for (uint8_t b : out) ASSERT_EQ(b, 0);
    reader_close(reader);
  }
}

TEST(ReaderFile, ReadsFromOffsetAndZeroFillsTheTail) {
  Bytes data = random_bytes(700, 3);
  TempFile file(data);
  ImageReader reader;
  ASSERT_TRUE(reader_open_for_picture(reader, file.path.c_str(), 650, 0));
  uint8_t out[64];
  ASSERT_TRUE(reader_read(reader, out, 64));
  EXPECT_EQ(memcmp(out, data.data() + 650, 50), 0);
  for (int i = 50; i < 64; ++i) ASSERT_EQ(out[i], 0);
  reader_close(reader);
  EXPECT_EQ(reader.status, kStatusSuccess);
}

TEST(ReaderFile, SkipMovesForwardPastTheEndWithoutFailing) {
  Bytes data = random_bytes(100, 4);
  TempFile file(data);
  ImageReader reader;
  ASSERT_TRUE(reader_open_for_picture(reader, file.path.c_str(), 0, 0));
  uint8_t out[4];
  ASSERT_TRUE(reader_skip(reader, 90));
  ASSERT_TRUE(reader_read(reader, out, 4));
  EXPECT_EQ(memcmp(out, data.data() + 90, 4), 0);
  ASSERT_TRUE(reader_skip(reader, 0x1FFFFFFFFull));
  ASSERT_TRUE(reader_read(reader, out, 4));
  for (uint8_t b : out) EXPECT_EQ(b, 0);
  reader_close(reader);
  EXPECT_EQ(reader.status, kStatusSuccess);
}

TEST(ReaderFile, OpenFailuresRecordFileError) {
  Bytes data = random_bytes(100, 5);
  TempFile file(data);
  struct Case {
    const char* name;
    int32_t offset;
  } cases[] = {
      {"/nonexistent/dir/picture.tzf", 0},
      {nullptr, 0},
      {file.path.c_str(), -5},  // positioning before the file's start fails
  };
  for (const Case& c : cases) {
    ImageReader reader;
    EXPECT_FALSE(reader_open_for_picture(reader, c.name, c.offset, 0));
    EXPECT_EQ(reader.status, kStatusFileError);
    EXPECT_NE(reader.system_error, 0u);
    EXPECT_TRUE(reader_is_memory(reader)) << "a failed open holds no handle";
    reader_close(reader);
    EXPECT_EQ(reader.status, kStatusFileError);
  }
}

TEST(ReaderBorrowed, ReadsFromHostPositionAndRestoresIt) {
  Bytes data = random_bytes(2000, 6);
  TempFile file(data);
  HostHandle host(file.path);
  ASSERT_NE(host.handle, INVALID_HANDLE_VALUE);
  host.seek(600);
  ImageReader reader;
  ASSERT_TRUE(reader_open_for_check(reader, reinterpret_cast<uintptr_t>(host.handle)));
  uint8_t out[64];
  ASSERT_TRUE(reader_read(reader, out, 64));
  EXPECT_EQ(memcmp(out, data.data() + 600, 64), 0);
  EXPECT_EQ(host.position(), 664u);
  reader_close(reader);
  EXPECT_EQ(reader.status, kStatusSuccess);
  EXPECT_EQ(host.position(), 600u);
}

TEST(ReaderBorrowed, AddressAboveSixteenBitsIsAMemoryHead) {
  Bytes head = random_bytes(kCheckHeadLength, 7);
  ExactBuffer buffer = exact_copy(head);
  ImageReader reader;
  ASSERT_TRUE(reader_open_for_check(reader, reinterpret_cast<uintptr_t>(buffer.data.get())));
  Bytes out(kCheckHeadLength + 16, 0xEE);
  ASSERT_TRUE(reader_read(reader, out.data(), static_cast<uint32_t>(out.size())));
  EXPECT_EQ(memcmp(out.data(), head.data(), kCheckHeadLength), 0);
  for (size_t i = kCheckHeadLength; i < out.size(); ++i) ASSERT_EQ(out[i], 0);
  reader_close(reader);
}

TEST(ReaderBorrowed, UnpositionableHandleFails) {
  // A handle value that names no open file cannot report its position.
  ImageReader reader;
  EXPECT_FALSE(reader_open_for_check(reader, 0xFFF0));
  EXPECT_EQ(reader.status, kStatusFileError);
  reader_close(reader);
}

}  // namespace
