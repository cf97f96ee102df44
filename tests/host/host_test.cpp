// Loads the built filter at run time, as a viewer does, and drives every
// entry point through the addresses the loader hands out. On 32-bit Windows
// each call is made from assembly so that the stack pointer can be compared
// before and after: an export that does not remove its own arguments would
// corrupt the viewer's stack. x86-64 Windows has a single calling convention,
// in which the caller removes the arguments, so there is nothing to compare.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "plugin/tzf_filter.h"
#include "tests/corpus/corpus_files.h"
#include "tests/real_pictures.h"
#include "tests/test_pictures.h"

#if defined(HAVE_TZF_ENCODER)
#include "encoder/tzf_encoder.h"
#endif

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
using Module = HMODULE;
Module open_library() { return LoadLibraryA(TZF_LIBRARY_NAME); }
void* symbol(Module m, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(m, name));
}
void close_library(Module m) { FreeLibrary(m); }
#else
using Module = void*;
Module open_library() { return dlopen(TZF_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL); }
void* symbol(Module m, const char* name) { return dlsym(m, name); }
void close_library(Module m) { dlclose(m); }
#endif

// Calls `fn` with 32-bit or pointer-sized arguments and reports how far the
// stack pointer moved across the call (always 0 off 32-bit Windows).
struct CallResult {
  intptr_t value;
  int32_t stack_moved;
};

// Off Win32 the entry point is called through a pointer-sized stand-in type,
// as a host that reads the address from the loader would.
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
CallResult
call(void* fn, std::initializer_list<uintptr_t> list) {
  uintptr_t args[7] = {};
  size_t count = 0;
  for (uintptr_t a : list) args[count++] = a;
#if defined(_WIN32) && defined(__i386__)
  int32_t result;
  int32_t moved;
  uint32_t n = static_cast<uint32_t>(count);
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%%edi,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esp, %%edx\n\t"
      "subl %%esi, %%edx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "=d"(moved), "+c"(n)
      : "b"(fn), "D"(args)
      : "esi", "memory", "cc");
  return {result, moved};
#else
  using F2 = int32_t (*)(uintptr_t, uintptr_t);
  using F3 = int32_t (*)(uintptr_t, uintptr_t, uintptr_t);
  using F4 = int32_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
  using F7 =
      int32_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
  int32_t r = 0;
  switch (count) {
    case 2:
      r = reinterpret_cast<F2>(fn)(args[0], args[1]);
      break;
    case 3:
      r = reinterpret_cast<F3>(fn)(args[0], args[1], args[2]);
      break;
    case 4:
      r = reinterpret_cast<F4>(fn)(args[0], args[1], args[2], args[3]);
      break;
    default:
      r = reinterpret_cast<F7>(fn)(args[0], args[1], args[2], args[3], args[4], args[5], args[6]);
  }
  return {r, 0};
#endif
}

uintptr_t u(const void* p) { return reinterpret_cast<uintptr_t>(p); }

struct Progress {
  int calls = 0;
  int32_t last_done = -1;
  int32_t cancel_at = -1;
};

int32_t TZF_CALL on_progress(int32_t done, int32_t total, intptr_t data) {
  Progress* p = reinterpret_cast<Progress*>(data);
  ++p->calls;
  p->last_done = done;
  (void)total;
  return done == p->cancel_at ? 1 : 0;
}

class Host : public ::testing::Test {
 public:
  void SetUp() override {
    module_ = open_library();
    ASSERT_NE(module_, nullptr) << "cannot load " << TZF_LIBRARY_NAME;
    const char* names[5] = {"GetPicture", "GetPictureInfo", "GetPluginInfo", "GetPreview",
                            "IsSupported"};
    for (int i = 0; i < 5; ++i) {
      entry_[i] = symbol(module_, names[i]);
      ASSERT_NE(entry_[i], nullptr) << names[i];
    }
#if defined(_WIN32)
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    local_lock_ = reinterpret_cast<void*>(GetProcAddress(kernel, "LocalLock"));
    local_free_ = reinterpret_cast<void*>(GetProcAddress(kernel, "LocalFree"));
#else
    local_lock_ = symbol(module_, "LocalLock");
    local_free_ = symbol(module_, "LocalFree");
#endif
    ASSERT_NE(local_lock_, nullptr);
    ASSERT_NE(local_free_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) close_library(module_);
  }

  void* get_picture() const { return entry_[0]; }
  void* get_picture_info() const { return entry_[1]; }
  void* get_plugin_info() const { return entry_[2]; }
  void* get_preview() const { return entry_[3]; }
  void* is_supported() const { return entry_[4]; }

  // Copies a block the library handed over and frees it as a host does.
  Bytes take(TzfLocalHandle handle, size_t size) {
    using Lock = void*(TZF_CALL*)(void*);
    using Free = void*(TZF_CALL*)(void*);
    const uint8_t* p = static_cast<const uint8_t*>(reinterpret_cast<Lock>(local_lock_)(handle));
    Bytes out;
    if (p != nullptr) out.assign(p, p + size);
    EXPECT_EQ(reinterpret_cast<Free>(local_free_)(handle), nullptr);
    return out;
  }

  Module module_ = nullptr;
  void* entry_[5] = {};
  void* local_lock_ = nullptr;
  void* local_free_ = nullptr;
};

#if defined(_WIN32)
TEST_F(Host, OrdinalsFollowTheAlphabet) {
  for (int ordinal = 1; ordinal <= 5; ++ordinal) {
    void* by_ordinal = reinterpret_cast<void*>(
        GetProcAddress(module_, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal))));
    EXPECT_EQ(by_ordinal, entry_[ordinal - 1]) << ordinal;
  }
}
#endif

#if defined(_WIN32) && !defined(__i386__)
// Shown as skipped so that a 64-bit run says which check it leaves out.
TEST(HostCallingConvention, EntryPointsRemoveTheirArguments) {
  GTEST_SKIP() << "the stack pointer is compared across each call on 32-bit Windows only: "
                  "x86-64 Windows has one calling convention, in which the caller removes "
                  "the arguments";
}
#endif

TEST_F(Host, PluginInfoAndPreview) {
  char buffer[64];
  struct Case {
    int32_t index;
    const char* text;
  } cases[] = {{0, "00IN"}, {2, "*.TZF"}, {3, "Tervax CG (.TZF)"}};
  for (const Case& c : cases) {
    CallResult r = call(get_plugin_info(), {static_cast<uintptr_t>(c.index), u(buffer), 64});
    EXPECT_EQ(r.stack_moved, 0);
    EXPECT_EQ(r.value, static_cast<intptr_t>(strlen(c.text)));
    EXPECT_STREQ(buffer, c.text);
  }
  CallResult r = call(get_preview(), {0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(r.stack_moved, 0);
  EXPECT_EQ(static_cast<int32_t>(r.value), -1);
}

// A 24-bit picture 5 x 3 with a run: its pixel block is known byte for byte.
Bytes small_picture(Bytes* expected_pixels) {
  PictureParts parts;
  parts.width = 5;
  parts.height = 3;
  parts.bits_per_pixel = 24;
  // Row 0: five literals; rows 1 and 2: one run of 10 copying the row below.
  parts.flags = {0x04};     // bits: 0 0 0 0 0 1
  parts.commands = {0x77};  // entry 7 (0, -1), run 10
  parts.literals = random_bytes(15, 9);
  Bytes pixels = parts.literals;
  for (int i = 0; i < 2; ++i)
    pixels.insert(pixels.end(), parts.literals.begin(), parts.literals.end());
  *expected_pixels = to_dib_rows(pixels, 5, 3, 24);
  return make_picture(parts);
}

TEST_F(Host, RecognitionAndInformation) {
  Bytes expected;
  Bytes picture = small_picture(&expected);
  Bytes head(2048, 0);
  memcpy(head.data(), picture.data(), picture.size());
  CallResult r = call(is_supported(), {u("x.tzf"), u(head.data())});
  EXPECT_EQ(r.stack_moved, 0);
  EXPECT_EQ(r.value, 1);

  PictureInfoRecord record{};
  r = call(get_picture_info(), {u(picture.data()), picture.size(), 1, u(&record)});
  EXPECT_EQ(r.stack_moved, 0);
  EXPECT_EQ(r.value, 0);
  EXPECT_EQ(record.width, 5);
  EXPECT_EQ(record.height, 3);
  EXPECT_EQ(record.color_depth, 24);
}

TEST_F(Host, PictureFromMemoryAndFileWithProgress) {
  Bytes expected;
  Bytes picture = small_picture(&expected);
  TempFile file(picture);
  for (int source = 0; source < 2; ++source) {
    Progress progress;
    TzfLocalHandle info = nullptr;
    TzfLocalHandle pixels = nullptr;
    CallResult r =
        source == 0
            ? call(get_picture(), {u(picture.data()), picture.size(), 1, u(&info), u(&pixels),
                                   u(reinterpret_cast<void*>(&on_progress)), u(&progress)})
            : call(get_picture(), {u(file.path.c_str()), 0, 0, u(&info), u(&pixels),
                                   u(reinterpret_cast<void*>(&on_progress)), u(&progress)});
    EXPECT_EQ(r.stack_moved, 0);
    ASSERT_EQ(r.value, 0) << source;
    EXPECT_EQ(progress.calls, 4);
    EXPECT_EQ(progress.last_done, 3);
    Bytes header = take(info, 40);
    EXPECT_EQ(header[0], 40);
    EXPECT_EQ(take(pixels, expected.size()), expected);
  }
}

TEST_F(Host, CancelledPictureLeavesNullHandles) {
  Bytes expected;
  Bytes picture = small_picture(&expected);
  Progress progress;
  progress.cancel_at = 1;
  TzfLocalHandle info = reinterpret_cast<TzfLocalHandle>(1);
  TzfLocalHandle pixels = reinterpret_cast<TzfLocalHandle>(1);
  CallResult r = call(get_picture(), {u(picture.data()), picture.size(), 1, u(&info), u(&pixels),
                                      u(reinterpret_cast<void*>(&on_progress)), u(&progress)});
  EXPECT_EQ(r.stack_moved, 0);
  EXPECT_EQ(r.value, 1);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(pixels, nullptr);
}

#if defined(HAVE_TZF_ENCODER)
// The uncompressed, bottom-up 8-bit or 24-bit BMP files the test setup
// writes: their pixel rows are already in decoding order.
struct BmpPicture {
  int32_t width = 0;
  int32_t height = 0;
  int bits = 0;
  Bytes palette;  // 1024 bytes for 8-bit pictures
  Bytes pixels;   // decoding order, no pad
};

bool read_bmp(const std::string& path, BmpPicture& bmp) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  Bytes data;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
  fclose(f);
  auto le = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(data[at + i]) << (8 * i);
    return v;
  };
  if (data.size() < 54 || data[0] != 'B' || data[1] != 'M' || le(30, 4) != 0) return false;
  const uint32_t bits_at = le(10, 4), header = le(14, 4);
  bmp.width = static_cast<int32_t>(le(18, 4));
  bmp.height = static_cast<int32_t>(le(22, 4));
  bmp.bits = static_cast<int>(le(28, 2));
  if (bmp.width <= 0 || bmp.height <= 0 || (bmp.bits != 8 && bmp.bits != 24)) return false;
  const size_t bpp = static_cast<size_t>(bmp.bits / 8);
  const size_t row = static_cast<size_t>(bmp.width) * bpp, stride = (row + 3) & ~size_t{3};
  if (data.size() < bits_at + stride * static_cast<size_t>(bmp.height)) return false;
  if (bmp.bits == 8) {
    uint32_t colours = le(46, 4) == 0 ? 256 : le(46, 4);
    bmp.palette.assign(1024, 0);
    std::copy(data.begin() + 14 + header, data.begin() + 14 + header + 4 * colours,
              bmp.palette.begin());
  }
  for (int32_t r = 0; r < bmp.height; ++r) {
    const uint8_t* p = data.data() + bits_at + stride * static_cast<size_t>(r);
    bmp.pixels.insert(bmp.pixels.end(), p, p + row);
  }
  return true;
}

// Encodes with the project's encoder, decodes through the loaded library
// from memory, and compares both blocks.
void encode_and_decode(Host& host, void* get_picture, const BmpPicture& p,
                       const std::string& what) {
  tzf::encoder::EncoderInput input{p.width, p.height, p.bits, p.pixels, p.palette};
  tzf::encoder::EncodeResult encoded = tzf::encoder::Encode(input);
  ASSERT_EQ(encoded.status, tzf::encoder::EncodeStatus::kOk) << what;
  const Bytes& file = encoded.file;
  TzfLocalHandle info = nullptr, pixels = nullptr;
  CallResult r = call(get_picture, {u(file.data()), file.size(), 1, u(&info), u(&pixels), 0, 0});
  EXPECT_EQ(r.stack_moved, 0);
  ASSERT_EQ(r.value, 0) << what;
  const int16_t bits = static_cast<int16_t>(p.bits);
  Bytes info_block = host.take(info, bits == 8 ? 1064 : 40);
  Bytes expected = to_dib_rows(p.pixels, p.width, p.height, bits);
  EXPECT_EQ(host.take(pixels, expected.size()), expected) << what;
  if (bits == 8) {
    EXPECT_EQ(Bytes(info_block.begin() + 40, info_block.end()), p.palette) << what;
  }
}

TEST_F(Host, DecodesTheEncodersOutputOfRandomPictures) {
  struct Case {
    int32_t width, height;
    int bits;
  } cases[] = {{1, 1, 8}, {1, 9, 24}, {9, 1, 8}, {5, 7, 24}, {7, 5, 8}, {33, 17, 24}, {64, 3, 8}};
  uint32_t seed = 1;
  for (const Case& c : cases) {
    BmpPicture p;
    p.width = c.width;
    p.height = c.height;
    p.bits = c.bits;
    // Few distinct values, so that runs occur.
    p.pixels = random_bytes(static_cast<size_t>(c.width) * c.height * (c.bits / 8), seed++);
    for (uint8_t& b : p.pixels) b &= 0x03;
    if (c.bits == 8) p.palette = test_palette();
    encode_and_decode(*this, get_picture(), p,
                      std::to_string(c.width) + "x" + std::to_string(c.height));
  }
}

TEST_F(Host, DecodesTheEncodersOutputOfRealPictures) {
  std::vector<std::string> files = real_pictures("bmp", ".bmp");
  if (files.empty()) GTEST_SKIP() << "no real pictures fetched (configure with TZF_TEST_IMAGES)";
  for (const std::string& file : files) {
    BmpPicture p;
    ASSERT_TRUE(read_bmp(file, p)) << file;
    encode_and_decode(*this, get_picture(), p, file);
  }
}

#endif

// The golden corpus through the loaded filter. What each class gives:
//
//   class      IsSupported  GetPictureInfo  GetPicture
//   ok         1            0               0, the expected pixels
//   truncated  1            0               0, the expected pixels (missing data reads as 0)
//   not-tzf    0            2               2
//   bad-size   1            0               2 (the header passes the format check; no picture)
//   limit      1            0               not called: the filter has no limit of its own
//                                           below its 4 GiB block, and these would allocate
//                                           up to 4 GiB
//
// GetPicture reads each file from memory and by name. On Win32 the entry
// points are taken by ordinal, as some viewers take them.
struct FilterAnswer {
  int32_t is_supported;
  int32_t info_status;
  int32_t picture_status;  // -100: not called
};

FilterAnswer filter_answer(const std::string& klass) {
  if (klass == "not-tzf") return {0, 2, 2};
  if (klass == "bad-size") return {1, 0, 2};
  if (klass == "limit") return {1, 0, -100};
  return {1, 0, 0};
}

// The DIB's pixels as RGB, top row first: rows bottom-up, padded to four
// bytes, 8-bit pixels through the info block's colour table.
RgbImage rgb_of_dib(const Bytes& info, const Bytes& pixels, uint32_t width, uint32_t height,
                    int bits) {
  RgbImage image;
  image.width = width;
  image.height = height;
  const size_t bpp = static_cast<size_t>(bits / 8);
  const size_t stride = (width * bpp + 3) / 4 * 4;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = pixels.data() + (height - 1 - y) * stride;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* bgr = bpp == 3 ? row + x * 3 : info.data() + 40 + row[x] * 4;
      image.rgb.insert(image.rgb.end(), {bgr[2], bgr[1], bgr[0]});
    }
  }
  return image;
}

TEST_F(Host, EveryCorpusFileGivesItsClassAndPixels) {
  std::vector<CorpusEntry> entries;
  std::string error;
  ASSERT_TRUE(read_expected(TZF_CORPUS_DIR, entries, error)) << error;
  ASSERT_GT(entries.size(), 50u) << "the corpus seems incomplete";
  void* picture = get_picture();
  void* picture_info = get_picture_info();
  void* supported = is_supported();
#if defined(_WIN32)
  picture = reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(1)));
  picture_info = reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(2)));
  supported = reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(5)));
  ASSERT_NE(picture, nullptr);
  ASSERT_NE(picture_info, nullptr);
  ASSERT_NE(supported, nullptr);
#endif
  for (const CorpusEntry& entry : entries) {
    const std::string path = std::string(TZF_CORPUS_DIR) + "/" + entry.file;
    Bytes file;
    ASSERT_TRUE(read_whole_file(path, file)) << path;
    const FilterAnswer want = filter_answer(entry.klass);
    // Memory images as exact copies; the empty file still has an address.
    ExactBuffer memory = exact_copy(file);
    const uint8_t none = 0;
    const uintptr_t source = memory.size != 0 ? u(memory.data.get()) : u(&none);

    Bytes head(2048, 0);
    std::copy(file.begin(),
              file.begin() + static_cast<ptrdiff_t>(std::min<size_t>(file.size(), 2048)),
              head.begin());
    CallResult r = call(supported, {u("corpus.tzf"), u(head.data())});
    EXPECT_EQ(r.stack_moved, 0);
    EXPECT_EQ(r.value, want.is_supported) << entry.file;

    PictureInfoRecord record{};
    r = call(picture_info, {source, file.size(), 1, u(&record)});
    EXPECT_EQ(r.stack_moved, 0);
    EXPECT_EQ(static_cast<int32_t>(r.value), want.info_status) << entry.file;

    RgbImage expected;
    if (entry.decodes()) {
      Bytes png;
      ASSERT_TRUE(read_whole_file(std::string(TZF_CORPUS_DIR) + "/" + entry.stem() + ".png", png));
      ASSERT_TRUE(png_decode(png, expected)) << entry.stem();
      EXPECT_EQ(record.width, static_cast<int32_t>(expected.width)) << entry.file;
      EXPECT_EQ(record.height, static_cast<int32_t>(expected.height)) << entry.file;
      EXPECT_TRUE(record.color_depth == 8 || record.color_depth == 24) << entry.file;
    }
    if (want.picture_status == -100) continue;

    for (int by_name = 0; by_name < 2; ++by_name) {
      const std::string what = entry.file + (by_name ? " by name" : " from memory");
      TzfLocalHandle info = reinterpret_cast<TzfLocalHandle>(1);
      TzfLocalHandle pixels = reinterpret_cast<TzfLocalHandle>(1);
      r = by_name ? call(picture, {u(path.c_str()), 0, 0, u(&info), u(&pixels), 0, 0})
                  : call(picture, {source, file.size(), 1, u(&info), u(&pixels), 0, 0});
      EXPECT_EQ(r.stack_moved, 0);
      EXPECT_EQ(static_cast<int32_t>(r.value), want.picture_status) << what;
      if (r.value != 0) {
        EXPECT_EQ(info, nullptr) << what;
        EXPECT_EQ(pixels, nullptr) << what;
        continue;
      }
      if (!entry.decodes()) continue;
      const int bits = record.color_depth;
      const size_t stride = (expected.width * static_cast<size_t>(bits / 8) + 3) / 4 * 4;
      const Bytes info_block = take(info, bits == 8 ? 40 + 1024 : 40);
      const Bytes pixel_block = take(pixels, stride * expected.height);
      ASSERT_EQ(info_block.size(), bits == 8 ? 40u + 1024u : 40u) << what;
      ASSERT_EQ(pixel_block.size(), stride * expected.height) << what;
      EXPECT_EQ(info_block[14], bits) << what;
      const RgbImage got =
          rgb_of_dib(info_block, pixel_block, expected.width, expected.height, bits);
      EXPECT_TRUE(got.rgb == expected.rgb) << what << ": pixels differ from the PNG";
      // The pad at each row's end is zero.
      const size_t row = expected.width * static_cast<size_t>(bits / 8);
      bool pad_zero = true;
      for (uint32_t y = 0; y < expected.height; ++y) {
        for (size_t k = row; k < stride; ++k)
          pad_zero = pad_zero && pixel_block[y * stride + k] == 0;
      }
      EXPECT_TRUE(pad_zero) << what;
    }
  }
}

}  // namespace
