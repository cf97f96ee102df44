// The Qt 6 image handler (its source compiled in, no plug-in loading) on any
// input, as QImageReader drives it: canRead, option(Size), option(ImageFormat)
// and read, once from a QBuffer (read part by part, seeking) and once from a
// sequential device over the same bytes (read in order). The allocation
// limit is small (4 MB as Qt counts). Checks: canRead exactly when the codec
// calls the bytes a TZF picture; a read exactly of such pictures that the
// limit allows, cut ones included; the image of the size and format the
// options announced, its pixels those of tzf_decode on the whole input (what
// is missing reads as zero in both); both devices giving the same picture.
// ASan and LSan watch memory, including the kept bytes' bounds.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "qt/tzf_image_handler.h"
#include "tzf/tzf.h"

namespace {

constexpr int kAllocationLimitMegabytes = 4;
// Pictures up to this many pixels are within the limit, larger ones not: Qt
// counts four bytes a pixel for both layouts the handler gives.
constexpr uint64_t kAllowedPixels = (uint64_t{kAllocationLimitMegabytes} << 20) / 4;

// The bytes as a socket would serve them: sequential, no size.
class SequentialBuffer : public QIODevice {
 public:
  SequentialBuffer(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override {
    return QIODevice::bytesAvailable() + static_cast<qint64>(size_ - offset_);
  }

 protected:
  qint64 readData(char* out, qint64 count) override {
    size_t n = std::min(static_cast<size_t>(count), size_ - offset_);
    if (out != nullptr && n > 0) memcpy(out, data_ + offset_, n);
    offset_ += n;
    return static_cast<qint64>(n);
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

struct Result {
  bool can_read;
  QVariant size;
  QVariant format;
  bool read;
  QImage image;
};

Result run_handler(QIODevice& device) {
  device.open(QIODevice::ReadOnly);
  TzfImageHandler handler;
  handler.setDevice(&device);
  Result r{};
  r.can_read = handler.canRead();
  r.size = handler.option(QImageIOHandler::Size);
  r.format = handler.option(QImageIOHandler::ImageFormat);
  r.read = handler.read(&r.image);
  return r;
}

void ignore_messages(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QImageReader::setAllocationLimit(kAllocationLimitMegabytes);
  qInstallMessageHandler(ignore_messages);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool is_tzf = tzf_is_tzf(data, size) != 0;
  tzf_info info{};
  const int status = tzf_read_info(data, size, &info);

  QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
  QBuffer buffer(&bytes);
  SequentialBuffer stream(data, size);
  const Result results[2] = {run_handler(buffer), run_handler(stream)};

  for (const Result& r : results) {
    FUZZ_CHECK(r.can_read == is_tzf, "canRead %d, tzf_is_tzf %d", r.can_read, is_tzf);
    FUZZ_CHECK(r.size.isValid() == (status == TZF_OK), "Size given with status %d", status);
    FUZZ_CHECK(r.read == (status == TZF_OK && uint64_t{info.width} * info.height <= kAllowedPixels),
               "read %d of a %u x %u picture with status %d", r.read, info.width, info.height,
               status);
    FUZZ_CHECK(r.read != r.image.isNull(), "read %d with a null image %d", r.read,
               r.image.isNull());
    if (!r.read) continue;
    FUZZ_CHECK(r.image.size() == r.size.toSize(), "image size differs from Size");
    FUZZ_CHECK(r.image.format() == r.format.toInt(), "image format differs from ImageFormat");
  }
  FUZZ_CHECK(results[0].read == results[1].read, "the devices disagree");
  if (!results[0].read) return 0;
  FUZZ_CHECK(results[0].image == results[1].image, "the devices give different pictures");

  // The codec on the whole input, in the layout the handler used.
  const QImage& image = results[0].image;
  const bool indexed = info.bits_per_pixel == 8;
  FUZZ_CHECK(image.format() == (indexed ? QImage::Format_Indexed8 : QImage::Format_RGB888),
             "format %d for %u bits", image.format(), info.bits_per_pixel);
  const int layout = indexed ? TZF_FORMAT_NATIVE : TZF_FORMAT_RGB;
  size_t stride = 0, total = 0;
  FUZZ_CHECK(tzf_output_size(&info, layout, &stride, &total) == TZF_OK, "no output size");
  std::vector<uint8_t> expected(total);
  FUZZ_CHECK(tzf_decode(data, size, layout, expected.data(), static_cast<ptrdiff_t>(stride),
                        nullptr) == TZF_OK,
             "tzf_decode fails");
  for (uint32_t y = 0; y < info.height; ++y) {
    FUZZ_CHECK(
        memcmp(image.constScanLine(static_cast<int>(y)), expected.data() + y * stride, stride) == 0,
        "row %u differs from tzf_decode", y);
  }
  if (indexed) {
    FUZZ_CHECK(image.colorCount() == 256, "%d colours", image.colorCount());
    for (int i = 0; i < 256; ++i) {
      FUZZ_CHECK(image.color(i) == qRgb(info.palette[i][0], info.palette[i][1], info.palette[i][2]),
                 "colour %d", i);
    }
  }
  return 0;
}
