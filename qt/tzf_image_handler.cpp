#include "tzf_image_handler.h"

#include <stdlib.h>
#include <string.h>

#include <QIODevice>
#include <QSize>
#include <QVariant>
#include <QVector>

Q_LOGGING_CATEGORY(lcTzfImageIo, "tzf.imageio", QtWarningMsg)

namespace {

// How long a sequential device (a pipe, a socket) may stay silent before
// what arrived so far is taken as all of the picture.
constexpr int kWaitMilliseconds = 30000;

// The first step of a growing read buffer.
constexpr uint64_t kFirstBufferStep = 64 * 1024;

uint64_t add_saturated(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t divide_up(uint64_t value, uint64_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

void store_u32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

// Where the header keeps the two stream lengths.
constexpr size_t kFlagLengthField = 48;
constexpr size_t kCommandLengthField = 52;

// The bytes read from the device, in one block that grows as they arrive.
struct ReadBuffer {
  uint8_t* data = nullptr;
  size_t size = 0;
  size_t capacity = 0;

  ReadBuffer() = default;
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;
  ~ReadBuffer() { free(data); }
};

// Makes room for at least one more byte, growing by doubling but never past
// `limit` bytes in all. False when the memory cannot be had.
bool grow(ReadBuffer& buffer, uint64_t limit) {
  uint64_t wanted = buffer.capacity < kFirstBufferStep ? kFirstBufferStep : buffer.capacity * 2;
  if (wanted > limit) wanted = limit;
  if (wanted > SIZE_MAX) return false;
  void* bigger = realloc(buffer.data, static_cast<size_t>(wanted));
  if (bigger == nullptr) return false;
  buffer.data = static_cast<uint8_t*>(bigger);
  buffer.capacity = static_cast<size_t>(wanted);
  return true;
}

// The device's bytes, after the header bytes the handler already took.
struct Source {
  QIODevice* device;
  const QByteArray* taken;
  qint64 taken_used;
  bool ended;  // no more data: end of file, end of stream or a read error
};

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

// Reads up to `count` bytes, the header bytes taken before first.
qint64 source_read(Source& source, char* out, qint64 count) {
  qint64 from_taken = source.taken->size() - source.taken_used;
  if (from_taken > count) from_taken = count;
  if (from_taken > 0) {
    memcpy(out, source.taken->constData() + source.taken_used, static_cast<size_t>(from_taken));
    source.taken_used += from_taken;
  }
  return from_taken +
         device_read(source.device, out + from_taken, count - from_taken, &source.ended);
}

// Passes over `count` bytes nobody needs; seeks where the device can.
void source_skip(Source& source, uint64_t count) {
  QIODevice* device = source.device;
  if (!device->isSequential()) {
    qint64 left_in_device = device->size() - device->pos();
    if (left_in_device < 0 || count >= static_cast<uint64_t>(left_in_device)) {
      device->seek(device->size());
      source.ended = true;
    } else {
      device->seek(device->pos() + static_cast<qint64>(count));
    }
    return;
  }
  while (count > 0 && !source.ended) {
    qint64 step = count > (uint64_t{1} << 30) ? qint64{1} << 30 : static_cast<qint64>(count);
    qint64 skipped = device->skip(step);
    if (skipped > 0) {
      count -= static_cast<uint64_t>(skipped);
    } else if (skipped < 0 || !device->waitForReadyRead(kWaitMilliseconds)) {
      source.ended = true;
    }
  }
}

// Appends up to `count` bytes of the source to the buffer, which never grows
// past `limit` bytes: reaching it ends the reading. False only when memory
// runs out.
bool read_part(Source& source, ReadBuffer& buffer, uint64_t count, uint64_t limit) {
  while (count > 0 && !source.ended) {
    if (buffer.size >= limit) {
      source.ended = true;
      break;
    }
    if (buffer.size == buffer.capacity && !grow(buffer, limit)) return false;
    uint64_t room = buffer.capacity - buffer.size;
    uint64_t step = count < room ? count : room;
    if (step > (uint64_t{1} << 30)) step = uint64_t{1} << 30;
    qint64 got = source_read(source, reinterpret_cast<char*>(buffer.data + buffer.size),
                             static_cast<qint64>(step));
    buffer.size += static_cast<size_t>(got);
    count -= static_cast<uint64_t>(got);
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

QImage::Format image_format(const tzf_info& info) {
  return info.bits_per_pixel == 8 ? QImage::Format_Indexed8 : QImage::Format_RGB888;
}

}  // namespace

TzfReadPlan tzf_read_plan(const tzf_info& info) {
  TzfReadPlan plan{};
  uint64_t pixels = uint64_t{info.width} * info.height;
  uint64_t flags = info.flag_stream_length;
  uint64_t commands = info.command_stream_length;
  plan.stream_offset = info.literal_offset - flags - commands;
  uint64_t flags_needed = divide_up(pixels, 8);
  uint64_t commands_needed = divide_up(pixels, 3);
  plan.flag_keep = flags < flags_needed ? flags : flags_needed;
  plan.flag_skip = flags - plan.flag_keep;
  plan.command_keep = commands < commands_needed ? commands : commands_needed;
  plan.command_skip = commands - plan.command_keep;
  uint64_t bytes_per_pixel = info.bits_per_pixel / 8;
  plan.literal_keep = pixels > UINT64_MAX / bytes_per_pixel ? UINT64_MAX : pixels * bytes_per_pixel;
  plan.total_keep = add_saturated(
      add_saturated(add_saturated(plan.stream_offset, plan.flag_keep), plan.command_keep),
      plan.literal_keep);
  return plan;
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
  QByteArray head = peek_up_to(device, TZF_HEADER_SIZE);
  while (head.size() < TZF_HEADER_SIZE && device->isSequential() &&
         device->waitForReadyRead(kWaitMilliseconds)) {
    head = peek_up_to(device, TZF_HEADER_SIZE);
  }
  if (head.size() < TZF_HEADER_SIZE && !device->atEnd()) {
    // Peeking shows less than the device holds: take the header for good.
    taken_.resize(TZF_HEADER_SIZE);
    bool ended = false;
    taken_.resize(static_cast<int>(device_read(device, taken_.data(), TZF_HEADER_SIZE, &ended)));
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
  const QSize size(static_cast<int>(info_.width), static_cast<int>(info_.height));

  // The image first: a header declaring more pixels than allowed is refused
  // before a single byte of its streams is read.
  QImage result;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  if (!QImageIOHandler::allocateImage(size, format, &result)) {
    qCWarning(lcTzfImageIo, "TZF: a %u x %u picture exceeds the image allocation limit",
              info_.width, info_.height);
    return false;
  }
#else
  if (uint64_t{info_.width} * info_.height > kTzfQt5MaxPixels) {
    qCWarning(lcTzfImageIo, "TZF: a %u x %u picture exceeds the limit of %llu pixels", info_.width,
              info_.height, static_cast<unsigned long long>(kTzfQt5MaxPixels));
    return false;
  }
  result = QImage(size, format);
  if (result.isNull()) {
    qCWarning(lcTzfImageIo, "TZF: no memory for a %u x %u picture", info_.width, info_.height);
    return false;
  }
#endif

  // The picture's bytes, cut to what it can use.
  const TzfReadPlan plan = tzf_read_plan(info_);
  ReadBuffer buffer;
  Source source{device(), &taken_, 0, false};
  uint64_t limit = plan.total_keep;
  if (!device()->isSequential()) {
    // A file's size tells how much of the plan it can fill.
    uint64_t left = static_cast<uint64_t>(taken_.size());
    qint64 in_device = device()->size() - device()->pos();
    if (in_device > 0) left += static_cast<uint64_t>(in_device);
    if (left < limit) limit = left;
  }
  bool memory = read_part(source, buffer, add_saturated(plan.stream_offset, plan.flag_keep), limit);
  source_skip(source, plan.flag_skip);
  memory = memory && read_part(source, buffer, plan.command_keep, limit);
  source_skip(source, plan.command_skip);
  memory = memory && read_part(source, buffer, plan.literal_keep, limit);
  if (!memory) {
    qCWarning(lcTzfImageIo, "TZF: no memory for the picture's data");
    return false;
  }
  // Unused stream tails are left out, so the header says so.
  if (buffer.size >= kCommandLengthField + 4) {
    if (plan.flag_skip > 0) {
      store_u32(buffer.data + kFlagLengthField, static_cast<uint32_t>(plan.flag_keep));
    }
    if (plan.command_skip > 0) {
      store_u32(buffer.data + kCommandLengthField, static_cast<uint32_t>(plan.command_keep));
    }
  }

  tzf_info info{};
  status = tzf_read_info(buffer.data, buffer.size, &info);
  if (status == TZF_OK && (info.width != info_.width || info.height != info_.height ||
                           info.bits_per_pixel != info_.bits_per_pixel)) {
    status = TZF_ERROR_NOT_TZF;  // the device changed under the handler
  }
  if (status == TZF_OK) {
    const int layout = format == QImage::Format_Indexed8 ? TZF_FORMAT_NATIVE : TZF_FORMAT_RGB;
    if (format == QImage::Format_Indexed8) {
      QVector<QRgb> colours(256);
      for (int i = 0; i < 256; ++i) {
        colours[i] = qRgb(info.palette[i][0], info.palette[i][1], info.palette[i][2]);
      }
      result.setColorTable(colours);
    }
    status = tzf_decode(buffer.data, buffer.size, layout, result.bits(),
                        static_cast<ptrdiff_t>(result.bytesPerLine()), nullptr);
  }
  if (status != TZF_OK) {
    qCWarning(lcTzfImageIo, "TZF: cannot decode the picture: %s", tzf_status_text(status));
    return false;
  }
  *image = result;
  return true;
}
