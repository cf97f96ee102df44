// Drives the ImageMagick coder module (its source compiled in) as a program
// on MagickCore does: BlobToImage with the format TZF, then ImageToBlob back
// to TZF for small pictures. Checks: a picture exactly when the header is one
// the codec reads within its default limits and ImageMagick's (set low here),
// an error otherwise; the size and pixels those of the codec decoding the
// whole input; a warning exactly when the codec finds the data short; the
// written file decoding to the same pixels. ASan and LSan watch memory.
#include <magick/MagickCore.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz/fuzz_check.h"
#include "tzf/tzf.h"

extern "C" size_t RegisterTZFImage(void);

namespace {

// ImageMagick's limits for this target: keeps the inputs per second up and
// the memory under the fuzzer's cap.
constexpr uint64_t kMaxSide = 2048;
// Pictures up to this many pixels are written back too.
constexpr uint64_t kWriteMaxPixels = uint64_t{1} << 16;

std::vector<uint8_t> rgb_of(const Image* image) {
  std::vector<uint8_t> rgb(image->columns * image->rows * 3);
  ExceptionInfo* exception = AcquireExceptionInfo();
  const MagickBooleanType ok = ExportImagePixels(image, 0, 0, image->columns, image->rows, "RGB",
                                                 CharPixel, rgb.data(), exception);
  FUZZ_CHECK(ok != MagickFalse, "ExportImagePixels: %s", exception->reason);
  exception = DestroyExceptionInfo(exception);
  return rgb;
}

// The codec's decoding of the whole data; empty when it gives no picture.
std::vector<uint8_t> codec_rgb(const uint8_t* data, size_t size, tzf_info* info,
                               tzf_result* result) {
  std::vector<uint8_t> rgb;
  size_t stride = 0;
  size_t bytes = 0;
  tzf_parts parts;
  if (tzf_read_info(data, size, info) != TZF_OK ||
      tzf_check_limits(info, TZF_FORMAT_RGB, nullptr) != TZF_OK ||
      tzf_output_size(info, TZF_FORMAT_RGB, &stride, &bytes) != TZF_OK || info->width > kMaxSide ||
      info->height > kMaxSide)
    return rgb;
  rgb.resize(bytes);
  FUZZ_CHECK(tzf_parts_of_data(info, data, size, &parts) == TZF_OK, "parts");
  FUZZ_CHECK(tzf_decode_parts(info, &parts, TZF_FORMAT_RGB, rgb.data(),
                              static_cast<ptrdiff_t>(stride), nullptr, result) == TZF_OK,
             "decode");
  return rgb;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MagickCoreGenesis(nullptr, MagickFalse);
  // The first look-up makes the format list, which takes the module's entry.
  ExceptionInfo* exception = AcquireExceptionInfo();
  (void)GetMagickInfo("TZF", exception);
  exception = DestroyExceptionInfo(exception);
  RegisterTZFImage();
  SetMagickResourceLimit(WidthResource, kMaxSide);
  SetMagickResourceLimit(HeightResource, kMaxSide);
  SetMagickResourceLimit(DiskResource, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tzf_info info{};
  tzf_result result{};
  const std::vector<uint8_t> expected = codec_rgb(data, size, &info, &result);

  ImageInfo* image_info = AcquireImageInfo();
  ExceptionInfo* exception = AcquireExceptionInfo();
  CopyMagickString(image_info->magick, "TZF", MaxTextExtent);
  CopyMagickString(image_info->filename, "tzf:fuzz", MaxTextExtent);
  Image* image = BlobToImage(image_info, data, size, exception);
  if (expected.empty()) {
    FUZZ_CHECK(image == nullptr, "a %zux%zu picture from data the codec refuses", image->columns,
               image->rows);
    FUZZ_CHECK(exception->severity >= ErrorException, "no error: severity %d", exception->severity);
  } else {
    FUZZ_CHECK(image != nullptr, "no picture: %s", exception->reason);
    FUZZ_CHECK(image->columns == info.width && image->rows == info.height, "size %zux%zu",
               image->columns, image->rows);
    FUZZ_CHECK(image->storage_class == (info.bits_per_pixel == 8 ? PseudoClass : DirectClass),
               "class %d", image->storage_class);
    FUZZ_CHECK((exception->severity == CorruptImageWarning) == (result.truncated != 0),
               "severity %d, truncated %u", exception->severity, result.truncated);
    FUZZ_CHECK(rgb_of(image) == expected, "pixels differ from the codec's");
    if (uint64_t{info.width} * info.height <= kWriteMaxPixels) {
      size_t length = 0;
      ExceptionInfo* write_exception = AcquireExceptionInfo();
      CopyMagickString(image_info->magick, "TZF", MaxTextExtent);
      CopyMagickString(image->magick, "TZF", MaxTextExtent);
      void* file = ImageToBlob(image_info, image, &length, write_exception);
      FUZZ_CHECK(file != nullptr, "not written: %s", write_exception->reason);
      tzf_info written{};
      tzf_result written_result{};
      const std::vector<uint8_t> back =
          codec_rgb(static_cast<const uint8_t*>(file), length, &written, &written_result);
      FUZZ_CHECK(back == expected && written_result.truncated == 0,
                 "the written file decodes to other pixels");
      FUZZ_CHECK(written.bits_per_pixel == info.bits_per_pixel, "written with %u bits",
                 written.bits_per_pixel);
      file = RelinquishMagickMemory(file);
      write_exception = DestroyExceptionInfo(write_exception);
    }
    image = DestroyImageList(image);
  }
  exception = DestroyExceptionInfo(exception);
  image_info = DestroyImageInfo(image_info);
  return 0;
}
