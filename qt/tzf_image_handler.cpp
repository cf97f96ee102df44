#include "tzf_image_handler.h"

#include <stdint.h>
#include <stdlib.h>

#include <QIODevice>
#include <QImageReader>
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
  return option == Size || option == ImageFormat;
}

QVariant TzfImageHandler::option(ImageOption option) const {
  if (!supportsOption(option) || header() != TZF_OK) return QVariant();
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
