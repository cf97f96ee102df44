#include "tzf_image_handler.h"

#include <stdint.h>
#include <stdlib.h>

#include <QFileDevice>
#include <QIODevice>
#include <QImageReader>
#include <QList>
#include <QSize>
#include <QVariant>
#include <QVector>

Q_LOGGING_CATEGORY(lcTzfImageIo, "tzf.imageio", QtWarningMsg)

namespace {

// How long a sequential device (a pipe, a socket) may stay silent before
// what arrived so far is taken as all of the picture.
constexpr int kWaitMilliseconds = 30000;

// The first size of the kept bytes' block, which then doubles as needed.
constexpr uint64_t kFirstBlock = 64 * 1024;

// Bytes asked of the device a read.
constexpr qint64 kReadStep = 1024 * 1024;
constexpr qint64 kChunk = 64 * 1024;

// The kept bytes (see tzf_keep), in one block that grows as they arrive but
// never past the extent's kept_bytes.
struct KeptBytes {
  uint8_t* data = nullptr;
  uint64_t capacity = 0;
  uint64_t held = 0;  // the first bytes of the kept bytes that the device had

  KeptBytes() = default;
  KeptBytes(const KeptBytes&) = delete;
  KeptBytes& operator=(const KeptBytes&) = delete;
  ~KeptBytes() { free(data); }
};

// Makes room for the first `wanted` kept bytes (at most `most`). False when
// the memory cannot be had.
bool reserve(KeptBytes& kept, uint64_t wanted, uint64_t most) {
  if (wanted <= kept.capacity) return true;
  if (wanted > most) return false;
  uint64_t size = kept.capacity < kFirstBlock ? kFirstBlock : kept.capacity * 2;
  if (size < wanted) size = wanted;
  if (size > most) size = most;
  if (size > SIZE_MAX) return false;
  void* bigger = realloc(kept.data, static_cast<size_t>(size));
  if (bigger == nullptr) return false;
  kept.data = static_cast<uint8_t*>(bigger);
  kept.capacity = size;
  return true;
}

// Reads up to `count` bytes of the device; fewer only when its data ends,
// which sets *ended.
qint64 device_read(QIODevice* device, char* out, qint64 count, bool* ended) {
  qint64 done = 0;
  while (done < count && !*ended) {
    qint64 got = device->read(out + done, count - done);
    if (got > 0) {
      done += got;
    } else if (got < 0 || !device->isSequential() || !device->waitForReadyRead(kWaitMilliseconds)) {
      *ended = true;
    }
  }
  return done;
}

// Reads each part of the extent from its place on a device that can seek,
// the picture starting at `start`, until the device's data ends. False only
// when memory runs out.
bool read_parts(QIODevice* device, qint64 start, const tzf_extent& extent, KeptBytes& kept) {
  for (const tzf_part& part : extent.part) {
    if (part.length == 0) continue;
    if (part.offset > static_cast<uint64_t>(INT64_MAX - start) ||
        !device->seek(start + static_cast<qint64>(part.offset))) {
      return true;
    }
    uint64_t done = 0;
    while (done < part.length) {
      const uint64_t left = part.length - done;
      const qint64 step =
          left < static_cast<uint64_t>(kReadStep) ? static_cast<qint64>(left) : kReadStep;
      const uint64_t at = part.kept_at + done;
      if (!reserve(kept, at + static_cast<uint64_t>(step), extent.kept_bytes)) return false;
      const qint64 got = device->read(reinterpret_cast<char*>(kept.data + at), step);
      if (got <= 0) break;
      done += static_cast<uint64_t>(got);
      kept.held = part.kept_at + done;
    }
    if (done < part.length) return true;
  }
  return true;
}

// Keeps the extent's bytes of a chunk that lies at offset `at` of the
// picture. False when memory runs out.
bool keep_chunk(const tzf_extent& extent, uint64_t at, const char* chunk, qint64 size,
                KeptBytes& kept) {
  const uint64_t wanted = tzf_keep(&extent, at, chunk, static_cast<size_t>(size), nullptr);
  if (!reserve(kept, wanted, extent.kept_bytes)) return false;
  kept.held = tzf_keep(&extent, at, chunk, static_cast<size_t>(size), kept.data);
  return true;
}

// Reads a sequential device in order up to the extent's end, keeping the
// extent's bytes of each chunk. `taken` holds the picture's first bytes,
// already read from the device. False only when memory runs out.
bool read_in_order(QIODevice* device, const QByteArray& taken, const tzf_extent& extent,
                   KeptBytes& kept) {
  uint64_t at = 0;
  if (!taken.isEmpty()) {
    if (!keep_chunk(extent, 0, taken.constData(), taken.size(), kept)) return false;
    at = static_cast<uint64_t>(taken.size());
  }
  QByteArray chunk(static_cast<int>(kChunk), Qt::Uninitialized);
  bool ended = false;
  while (at < extent.end && !ended) {
    const uint64_t left = extent.end - at;
    const qint64 step = left < static_cast<uint64_t>(kChunk) ? static_cast<qint64>(left) : kChunk;
    const qint64 got = device_read(device, chunk.data(), step, &ended);
    if (got <= 0) break;
    if (!keep_chunk(extent, at, chunk.constData(), got, kept)) return false;
    at += static_cast<uint64_t>(got);
  }
  return true;
}

// The device's first `count` bytes without reading them. A sequential
// device hands over what has arrived, a slow one a few bytes a time: each
// peek takes in more, so peeking goes on while it brings something.
QByteArray peek_up_to(QIODevice* device, qint64 count) {
  QByteArray head = device->peek(count);
  for (qint64 before = -1; head.size() < count && head.size() > before;) {
    before = head.size();
    head = device->peek(count);
  }
  return head;
}

bool indexed(const tzf_info& info) { return info.bits_per_pixel == 8; }

QImage::Format image_format(const tzf_info& info) {
  return indexed(info) ? QImage::Format_Indexed8 : QImage::Format_RGB888;
}

// The libtzf layout that is the QImage format's.
int decode_format(const tzf_info& info) {
  return indexed(info) ? TZF_FORMAT_NATIVE : TZF_FORMAT_RGB;
}

// The most memory write() takes for the encoder's work and the file
// together.
constexpr uint64_t kMostEncodeBytes = uint64_t{4} << 30;

// The encoder's work buffer and the file it writes, freed together.
struct EncodeBuffers {
  void* work = nullptr;
  void* out = nullptr;

  EncodeBuffers() = default;
  EncodeBuffers(const EncodeBuffers&) = delete;
  EncodeBuffers& operator=(const EncodeBuffers&) = delete;
  ~EncodeBuffers() {
    free(work);
    free(out);
  }
};

// An image in a layout the encoder reads: `pixels` in `format`, and for
// TZF_FORMAT_INDEX the colour table.
struct EncoderInput {
  QImage pixels;
  int format = TZF_FORMAT_RGB;
  uint8_t palette[256][3] = {};
  uint32_t palette_size = 0;
  bool table_alpha = false;  // some colour of the table was not opaque
};

// A colour channel of alpha `alpha` over white.
uint8_t over_white(int channel, int alpha) {
  return static_cast<uint8_t>((channel * alpha + 255 * (255 - alpha) + 127) / 255);
}

// The colour table of an Indexed8 image, its transparent colours composited
// over white. Indices past the table (which Qt leaves undefined) get black
// entries, so that every pixel has a colour.
void take_colour_table(const QImage& image, EncoderInput& input) {
  const QVector<QRgb> table = image.colorTable();
  int used = 0;
  if (table.size() < 256) {
    for (int y = 0; y < image.height(); ++y) {
      const uchar* row = image.constScanLine(y);
      for (int x = 0; x < image.width(); ++x) used = row[x] + 1 > used ? row[x] + 1 : used;
    }
  }
  const int count = table.size() > 256 ? 256 : static_cast<int>(table.size());
  input.palette_size = static_cast<uint32_t>(count > used ? count : used);
  for (int i = 0; i < count; ++i) {
    const QRgb colour = table[i];
    const int alpha = qAlpha(colour);
    if (alpha != 255) input.table_alpha = true;
    input.palette[i][0] = over_white(qRed(colour), alpha);
    input.palette[i][1] = over_white(qGreen(colour), alpha);
    input.palette[i][2] = over_white(qBlue(colour), alpha);
  }
}

// The image in a layout the encoder reads, converted by Qt where needed. A
// null `pixels` when the conversion found no memory.
void take_pixels(const QImage& image, EncoderInput& input) {
  switch (image.format()) {
    case QImage::Format_Indexed8:
      input.pixels = image;
      break;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
      input.pixels = image.convertToFormat(QImage::Format_Indexed8);
      break;
    case QImage::Format_Grayscale8:
#if QT_VERSION >= QT_VERSION_CHECK(5, 13, 0)
    case QImage::Format_Grayscale16:
#endif
      input.pixels = image.convertToFormat(QImage::Format_Grayscale8);
      input.format = TZF_FORMAT_INDEX;
      input.palette_size = 256;
      for (int i = 0; i < 256; ++i) {
        input.palette[i][0] = input.palette[i][1] = input.palette[i][2] = static_cast<uint8_t>(i);
      }
      return;
    case QImage::Format_RGB888:
      input.pixels = image;
      return;
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    case QImage::Format_BGR888:
      input.pixels = image;
      input.format = TZF_FORMAT_NATIVE;
      return;
#endif
    default:
      if (image.hasAlphaChannel()) {
        input.pixels = image.convertToFormat(QImage::Format_RGBA8888);
        input.format = TZF_FORMAT_RGBA;
      } else {
        input.pixels = image.convertToFormat(QImage::Format_RGB888);
      }
      return;
  }
  input.format = TZF_FORMAT_INDEX;
  if (!input.pixels.isNull()) take_colour_table(input.pixels, input);
}

// The file's bits per pixel a sub-type asks for; false for one unknown.
bool depth_of(const QByteArray& sub_type, int* depth) {
  const QByteArray name = sub_type.toLower();
  if (name.isEmpty()) {
    *depth = TZF_DEPTH_AUTO;
  } else if (name == "8" || name == "indexed") {
    *depth = TZF_DEPTH_8;
  } else if (name == "24" || name == "rgb") {
    *depth = TZF_DEPTH_24;
  } else {
    return false;
  }
  return true;
}

// Hands all of `size` bytes to the device, and pushes a file's buffer to
// disk so that a full disk shows here.
bool write_all(QIODevice* device, const char* data, qint64 size) {
  qint64 done = 0;
  while (done < size) {
    const qint64 wrote = device->write(data + done, size - done);
    if (wrote <= 0) return false;
    done += wrote;
  }
  QFileDevice* file = qobject_cast<QFileDevice*>(device);
  return file == nullptr || file->flush();
}

}  // namespace

tzf_limits tzf_qt_limits() {
  tzf_limits limits{};  // zeros: the library's defaults
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  const int megabytes = QImageReader::allocationLimit();
  if (megabytes <= 0) {
    limits.max_pixels = UINT64_MAX;
    limits.max_output_bytes = UINT64_MAX;
  } else {
    const uint64_t bytes = static_cast<uint64_t>(megabytes) << 20;
    limits.max_pixels = bytes / 4;
    limits.max_output_bytes = bytes;
  }
#endif
  return limits;
}

TzfImageHandler::TzfImageHandler() = default;
TzfImageHandler::~TzfImageHandler() = default;

bool TzfImageHandler::canRead(QIODevice* device) {
  if (device == nullptr) return false;
  QByteArray head = peek_up_to(device, TZF_HEADER_SIZE);
  return tzf_is_tzf(head.constData(), static_cast<size_t>(head.size())) != 0;
}

bool TzfImageHandler::canRead() const {
  // Once the header has been taken from the device, it cannot be peeked again.
  bool yes = !taken_.isEmpty() ? header_status_ != TZF_ERROR_NOT_TZF : canRead(device());
  if (yes) setFormat("tzf");
  return yes;
}

int TzfImageHandler::header() const {
  if (header_done_) return header_status_;
  header_done_ = true;
  QIODevice* device = this->device();
  if (device == nullptr || !device->isReadable()) {
    qCWarning(lcTzfImageIo, "TZF: no readable device");
    header_status_ = TZF_ERROR_NOT_TZF;
    return header_status_;
  }
  QByteArray head = peek_up_to(device, TZF_INFO_SIZE);
  while (head.size() < TZF_INFO_SIZE && device->isSequential() &&
         device->waitForReadyRead(kWaitMilliseconds)) {
    head = peek_up_to(device, TZF_INFO_SIZE);
  }
  if (head.size() < TZF_INFO_SIZE && !device->atEnd()) {
    // Peeking shows less than the device holds: take the header for good.
    taken_.resize(TZF_INFO_SIZE);
    bool ended = false;
    taken_.resize(static_cast<int>(device_read(device, taken_.data(), TZF_INFO_SIZE, &ended)));
    head = taken_;
  }
  header_status_ = tzf_read_info(head.constData(), static_cast<size_t>(head.size()), &info_);
  return header_status_;
}

bool TzfImageHandler::supportsOption(ImageOption option) const {
  return option == Size || option == ImageFormat || option == Quality || option == SubType ||
         option == SupportedSubTypes;
}

void TzfImageHandler::setOption(ImageOption option, const QVariant& value) {
  if (option == Quality) {
    quality_ = value.toInt();
  } else if (option == SubType) {
    sub_type_ = value.toByteArray();
  }
}

QVariant TzfImageHandler::option(ImageOption option) const {
  if (option == Quality) return quality_;
  if (option == SupportedSubTypes) {
    return QVariant::fromValue(QList<QByteArray>{QByteArray("8"), QByteArray("24")});
  }
  if (!supportsOption(option) || header() != TZF_OK) return QVariant();
  if (option == SubType) return indexed(info_) ? QByteArray("8") : QByteArray("24");
  if (option == Size) {
    return QSize(static_cast<int>(info_.width), static_cast<int>(info_.height));
  }
  return static_cast<int>(image_format(info_));
}

bool TzfImageHandler::read(QImage* image) {
  int status = header();
  if (status != TZF_OK) {
    qCWarning(lcTzfImageIo, "TZF: cannot read the picture: %s", tzf_status_text(status));
    return false;
  }
  const QImage::Format format = image_format(info_);
  const int layout = decode_format(info_);
  const QSize size(static_cast<int>(info_.width), static_cast<int>(info_.height));

  // The limits first: a header declaring more than they allow is refused
  // before anything is allocated or a single byte of its streams is read.
  const tzf_limits limits = tzf_qt_limits();
  status = tzf_check_limits(&info_, layout, &limits);
  if (status == TZF_ERROR_LIMIT) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    qCWarning(lcTzfImageIo, "TZF: a %u x %u picture exceeds the image allocation limit of %d MB",
              info_.width, info_.height, QImageReader::allocationLimit());
#else
    qCWarning(lcTzfImageIo, "TZF: a %u x %u picture exceeds the limit of %llu pixels or %llu bytes",
              info_.width, info_.height, static_cast<unsigned long long>(TZF_DEFAULT_MAX_PIXELS),
              static_cast<unsigned long long>(TZF_DEFAULT_MAX_OUTPUT_BYTES));
#endif
    return false;
  }
  tzf_extent extent{};
  if (status == TZF_OK) status = tzf_usable_extent(&info_, &extent);
  if (status != TZF_OK) {
    qCWarning(lcTzfImageIo, "TZF: cannot read the picture: %s", tzf_status_text(status));
    return false;
  }

  QImage result;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  if (!QImageIOHandler::allocateImage(size, format, &result)) {
    qCWarning(lcTzfImageIo, "TZF: no image for a %u x %u picture within the allocation limit",
              info_.width, info_.height);
    return false;
  }
#else
  result = QImage(size, format);
  if (result.isNull()) {
    qCWarning(lcTzfImageIo, "TZF: no memory for a %u x %u picture", info_.width, info_.height);
    return false;
  }
#endif

  // Only the bytes decoding can use: from their places where the device can
  // seek, else in order up to the extent's end.
  QIODevice* device = this->device();
  KeptBytes kept;
  bool memory;
  if (device->isSequential()) {
    memory = read_in_order(device, taken_, extent, kept);
  } else {
    const qint64 start = device->pos() - taken_.size();
    memory = read_parts(device, start, extent, kept);
  }
  if (!memory) {
    qCWarning(lcTzfImageIo, "TZF: no memory for the picture's data");
    return false;
  }

  if (indexed(info_)) {
    QVector<QRgb> colours(256);
    for (int i = 0; i < 256; ++i) {
      colours[i] = qRgb(info_.palette[i][0], info_.palette[i][1], info_.palette[i][2]);
    }
    result.setColorTable(colours);
  }
  tzf_result outcome{};
  status = tzf_decode_kept(&info_, kept.data, static_cast<size_t>(kept.held), layout, result.bits(),
                           static_cast<ptrdiff_t>(result.bytesPerLine()), nullptr, &outcome);
  if (status != TZF_OK) {
    qCWarning(lcTzfImageIo, "TZF: cannot decode the picture: %s", tzf_status_text(status));
    return false;
  }
  if (outcome.truncated != 0) {
    // As Qt's own JPEG reading does with a file that ends early: the
    // picture as far as it goes, and a warning. (Qt's PNG reading refuses
    // such files; a cut picture here still shows what it holds.)
    qCWarning(lcTzfImageIo,
              "TZF: the picture's data ends early: %u of %u rows are whole, counted from the "
              "bottom; the rest is shown as if the missing bytes were zero",
              outcome.rows_held, info_.height);
  }
  *image = result;
  return true;
}

bool TzfImageHandler::write(const QImage& image) {
  QIODevice* device = this->device();
  if (device == nullptr || !device->isWritable()) {
    qCWarning(lcTzfImageIo, "TZF: no writable device");
    return false;
  }
  if (image.isNull()) {
    qCWarning(lcTzfImageIo, "TZF: cannot write an empty image");
    return false;
  }
  int depth = TZF_DEPTH_AUTO;
  if (!depth_of(sub_type_, &depth)) {
    qCWarning(lcTzfImageIo, "TZF: unknown sub-type \"%s\": 8 (indexed) or 24 (rgb)",
              sub_type_.constData());
    return false;
  }
  EncoderInput input;
  take_pixels(image, input);
  if (input.pixels.isNull()) {
    qCWarning(lcTzfImageIo, "TZF: no memory to convert the image");
    return false;
  }

  tzf_image picture{};
  picture.width = static_cast<uint32_t>(input.pixels.width());
  picture.height = static_cast<uint32_t>(input.pixels.height());
  picture.format = input.format;
  picture.pixels = input.pixels.constBits();
  picture.stride = static_cast<ptrdiff_t>(input.pixels.bytesPerLine());
  if (input.format == TZF_FORMAT_INDEX) {
    picture.palette = input.palette;
    picture.palette_size = input.palette_size;
  }
  tzf_encode_options options{};
  options.effort = quality_ >= 0 && quality_ <= 50 ? TZF_EFFORT_FAST : TZF_EFFORT_SMALLEST;
  options.bits_per_pixel = depth;

  // Sizes first: nothing is allocated past the limit.
  size_t file_bytes = 0;
  size_t work_bytes = 0;
  int status = tzf_encode_size(&picture, &options, &file_bytes, &work_bytes);
  if (status != TZF_OK) {
    qCWarning(lcTzfImageIo, "TZF: cannot write a %d x %d image: %s", image.width(), image.height(),
              tzf_status_text(status));
    return false;
  }
  if (uint64_t{file_bytes} > kMostEncodeBytes ||
      uint64_t{work_bytes} > kMostEncodeBytes - uint64_t{file_bytes}) {
    qCWarning(lcTzfImageIo, "TZF: writing a %d x %d image needs more than %llu bytes",
              image.width(), image.height(), static_cast<unsigned long long>(kMostEncodeBytes));
    return false;
  }
  EncodeBuffers buffers;
  buffers.work = malloc(work_bytes > 0 ? work_bytes : 1);
  buffers.out = malloc(file_bytes);
  if (buffers.work == nullptr || buffers.out == nullptr) {
    qCWarning(lcTzfImageIo, "TZF: no memory to write a %d x %d image", image.width(),
              image.height());
    return false;
  }
  tzf_encode_result result{};
  status =
      tzf_encode(&picture, &options, buffers.work, work_bytes, buffers.out, file_bytes, &result);
  if (status != TZF_OK) {
    qCWarning(lcTzfImageIo, "TZF: cannot encode the image: %s", tzf_status_text(status));
    return false;
  }
  if (result.composited != 0 || input.table_alpha) {
    qCWarning(lcTzfImageIo,
              "TZF: the image is not opaque; TZF holds no transparency, so it was composited "
              "over white");
  }
  if (!write_all(device, static_cast<const char*>(buffers.out), static_cast<qint64>(result.size))) {
    qCWarning(lcTzfImageIo, "TZF: cannot write to the device: %s",
              qPrintable(device->errorString()));
    return false;
  }
  return true;
}
