// The Qt image plug-in as an application meets it: QImageReader finds the
// freshly built plug-in (TZF_QT_PLUGINS, a folder holding
// imageformats/libqtzf.so) and reads pictures made by tzfenc (TZF_TZFENC)
// from files, sequential buffers and pipes. Every picture is compared pixel
// by pixel with what tzfconv (TZF_TZFCONV) writes as PNG, read back through
// Qt's own PNG support. Built once against Qt 5 and once against Qt 6.
//
//   qtzf_test_qtN [gtest options]   the tests
//   qtzf_test_qtN --read FILE       reads FILE through the plug-in and says
//                                    what came out (for memory measurements)
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tzf/tzf.h"

namespace {

QString environment(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }

// Runs a program to its end; its exit code, or -1 when it did not run.
int run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(program, arguments);
  if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) return -1;
  return process.exitCode();
}

QByteArray file_bytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write_file(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

uint32_t load_u32(const QByteArray& bytes, int at) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData() + at);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_u32(QByteArray& bytes, int at, uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k));
}

// A 64-byte header (plus an all-black colour table at 8 bits) declaring the
// given streams, which are not there.
QByteArray make_header(int32_t width, int32_t height, int bits, uint32_t flags, uint32_t commands) {
  QByteArray bytes(bits == 8 ? 1088 : 64, '\0');
  memcpy(bytes.data(), "TZF", 4);
  store_u32(bytes, 4, 2);
  store_u32(bytes, 8, 64);
  store_u32(bytes, 12, static_cast<uint32_t>(width));
  store_u32(bytes, 16, static_cast<uint32_t>(height));
  bytes[24] = static_cast<char>(bits);
  store_u32(bytes, 40, bits == 8 ? 1088 : 64);
  store_u32(bytes, 48, flags);
  store_u32(bytes, 52, commands);
  return bytes;
}

// Where a picture's streams lie, from its header.
struct Layout {
  int flags;     // offset of the flag stream
  int commands;  // offset of the command stream
  int literals;  // offset of the literal stream
};

Layout layout_of(const QByteArray& tzf) {
  int start = tzf[24] == 8 ? 1088 : 64;
  int flags_end = start + static_cast<int>(load_u32(tzf, 48));
  return {start, flags_end, flags_end + static_cast<int>(load_u32(tzf, 52))};
}

// A picture with flat stretches, repeats and noise, so that the encoder
// writes runs of many displacements and literals. At 8 bits it has 200
// colours, which the encoder keeps exactly.
QImage make_picture(int width, int height, int bits) {
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint32_t noise =
          (static_cast<uint32_t>(x) * 2654435761u) ^ (static_cast<uint32_t>(y) * 40503u);
      noise ^= noise >> 13;
      int band = (x / 7 + y / 5) % 4;
      int v;
      if (band == 0) {
        v = 40;  // flat
      } else if (band == 1) {
        v = (x % 3) * 50 + (y % 2) * 20;  // short repeats
      } else {
        v = static_cast<int>(noise % 200);  // literals
      }
      if (bits == 8) {
        image.setPixel(x, y, qRgb(v, (v * 7) % 256, 255 - v));
      } else {
        image.setPixel(x, y, qRgb(v, static_cast<int>(noise >> 8) & 255, (x * 3 + y) & 255));
      }
    }
  }
  return image;
}

// "" when both show the same colours, else where they first differ.
std::string difference(const QImage& got, const QImage& expected) {
  if (got.size() != expected.size()) {
    return "size " + std::to_string(got.width()) + "x" + std::to_string(got.height()) +
           " instead of " + std::to_string(expected.width()) + "x" +
           std::to_string(expected.height());
  }
  QImage a = got.convertToFormat(QImage::Format_RGB32);
  QImage b = expected.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) {
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is " +
               QColor(a.pixel(x, y)).name().toStdString() + " instead of " +
               QColor(b.pixel(x, y)).name().toStdString();
      }
    }
  }
  return "";
}

// Bytes in memory served as a sequential device, as a socket or a pipe
// serves them: no size, no seeking, and with `piece` set no more than that
// many bytes a read, as a slow socket. (A QBuffer that merely says it is
// sequential would read from its start again and again, since QIODevice
// keeps no position for sequential devices.)
class SequentialBuffer : public QIODevice {
 public:
  explicit SequentialBuffer(QByteArray bytes, qint64 piece = 1 << 30)
      : bytes_(std::move(bytes)), piece_(piece) {}
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override {
    return QIODevice::bytesAvailable() + bytes_.size() - offset_;
  }

 protected:
  qint64 readData(char* data, qint64 size) override {
    qint64 n = std::min<qint64>({size, piece_, bytes_.size() - offset_});
    if (data != nullptr && n > 0) {  // Qt may pass no buffer when skipping
      memcpy(data, bytes_.constData() + offset_, static_cast<size_t>(n));
    }
    offset_ += n;
    return n;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  QByteArray bytes_;
  qint64 piece_;
  qint64 offset_ = 0;
};

// A sequential device that serves `prefix` and then the byte 0xA5 forever,
// counting what it served.
class EndlessDevice : public QIODevice {
 public:
  explicit EndlessDevice(QByteArray prefix) : prefix_(std::move(prefix)) {}
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override { return QIODevice::bytesAvailable() + (1 << 20); }
  qint64 served() const { return served_; }

 protected:
  qint64 readData(char* data, qint64 size) override {
    for (qint64 k = 0; data != nullptr && k < size; ++k) {
      qint64 at = served_ + k;
      data[k] = at < prefix_.size() ? prefix_[static_cast<int>(at)] : static_cast<char>(0xA5);
    }
    served_ += size;
    return size;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  QByteArray prefix_;
  qint64 served_ = 0;
};

// Collects the messages Qt and the plug-in print while it exists. Qt's
// message handler has no room for a context pointer, hence the static list.
class MessageCapture {
 public:
  MessageCapture() {
    list().clear();
    previous_ = qInstallMessageHandler(&MessageCapture::collect);
  }
  ~MessageCapture() { qInstallMessageHandler(previous_); }
  QString text() const { return list().join('\n'); }

 private:
  static QStringList& list() {
    static QStringList messages;
    return messages;
  }
  static void collect(QtMsgType, const QMessageLogContext&, const QString& message) {
    list().append(message);
  }
  QtMessageHandler previous_ = nullptr;
};

// How the bytes reach QImageReader.
enum class Source { kFile, kSequentialBuffer, kSlowSocket, kPipe };

const char* source_name(Source source) {
  switch (source) {
    case Source::kFile:
      return "file";
    case Source::kSequentialBuffer:
      return "sequential buffer";
    case Source::kSlowSocket:
      return "seven bytes a read";
    case Source::kPipe:
      return "pipe";
  }
  return "?";
}

// What QImageReader said, before and after read().
struct Outcome {
  bool can_read = false;
  QByteArray format;
  QSize size;
  QImage::Format image_format = QImage::Format_Invalid;
  bool read = false;
  QImage image;
  QString messages;
};

Outcome ask(QImageReader& reader) {
  MessageCapture capture;
  Outcome outcome;
  outcome.can_read = reader.canRead();
  outcome.format = reader.format();
  outcome.size = reader.size();
  outcome.image_format = reader.imageFormat();
  outcome.read = reader.read(&outcome.image);
  outcome.messages = capture.text();
  return outcome;
}

// Reads `path` through QImageReader from the given source. `format` is
// handed to the reader when not empty; sequential sources are otherwise
// recognised by their content.
Outcome read_picture(const QString& path, Source source, const QByteArray& format = {}) {
  if (source == Source::kFile) {
    QImageReader reader(path, format);
    return ask(reader);
  }
  if (source == Source::kSequentialBuffer || source == Source::kSlowSocket) {
    SequentialBuffer buffer(file_bytes(path), source == Source::kSlowSocket ? 7 : 1 << 30);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    return ask(reader);
  }
  // A real pipe, written by another thread while the reader reads.
  int ends[2] = {-1, -1};
  if (pipe(ends) != 0) return {};
  QByteArray bytes = file_bytes(path);
  std::thread writer([&bytes, fd = ends[1]] {
    qint64 done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
      if (n <= 0) break;
      done += n;
    }
    close(fd);
  });
  Outcome outcome;
  {
    QFile file;
    file.open(ends[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    QImageReader reader(&file, format);
    outcome = ask(reader);
    // Drain what the reader left, so the writer can finish.
    while (!file.read(65536).isEmpty()) {
    }
  }
  writer.join();
  return outcome;
}

class QtPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    ASSERT_FALSE(environment("TZF_TZFENC").isEmpty()) << "TZF_TZFENC names the built tzfenc";
    ASSERT_FALSE(environment("TZF_TZFCONV").isEmpty()) << "TZF_TZFCONV names the built tzfconv";
  }

  QString path(const QString& name) const { return folder_.filePath(name); }

  // Writes `image` as PNG and encodes it; the TZF file's path, or "".
  QString encode(const QImage& image, int bits, const QString& name) {
    QString png = path(name + ".png"), tzf = path(name + ".tzf");
    if (!image.save(png, "PNG")) return "";
    int status = run(environment("TZF_TZFENC"), {png, tzf, "--depth", QString::number(bits)});
    return status == 0 ? tzf : "";
  }

  // tzfconv's picture of a TZF file, read back with Qt's PNG support.
  QImage reference(const QString& tzf) {
    QString png = path(QFileInfo(tzf).fileName() + ".reference.png");
    if (run(environment("TZF_TZFCONV"), {tzf, png}) != 0) return QImage();
    return QImage(png, "PNG");
  }

  QTemporaryDir folder_;
};

TEST_F(QtPlugin, IsFoundByQt) {
  EXPECT_TRUE(QImageReader::supportedImageFormats().contains("tzf"));
  EXPECT_TRUE(QImageReader::supportedMimeTypes().contains("image/x-tzf"));
  EXPECT_EQ(QImageReader::imageFormat(environment("TZF_SAMPLE")), QByteArray("tzf"));
  // The plug-in comes from the build, not from an installed copy.
  QStringList paths = QCoreApplication::libraryPaths();
  ASSERT_EQ(paths.size(), 1);
  EXPECT_TRUE(QFile::exists(paths[0] + "/imageformats/libqtzf.so")) << paths[0].toStdString();
}

TEST_F(QtPlugin, ReadsPicturesOfBothDepthsAsTzfconvShowsThem) {
  struct Case {
    const char* name;
    int width, height, bits;
  };
  const Case cases[] = {
      {"one pixel", 1, 1, 8},  {"one pixel", 1, 1, 24},    {"odd width", 3, 5, 8},
      {"odd width", 3, 5, 24}, {"odd width", 101, 37, 8},  {"odd width", 101, 37, 24},
      {"wide", 641, 3, 8},     {"wide", 641, 3, 24},       {"tall", 2, 300, 8},
      {"tall", 2, 300, 24},    {"width of 4n", 64, 20, 8}, {"width of 4n", 64, 20, 24},
  };
  for (const Case& c : cases) {
    QString name = QString("%1x%2_%3").arg(c.width).arg(c.height).arg(c.bits);
    SCOPED_TRACE(std::string(c.name) + " " + name.toStdString());
    QImage original = make_picture(c.width, c.height, c.bits);
    QString tzf = encode(original, c.bits, name);
    ASSERT_FALSE(tzf.isEmpty());
    QImage expected = reference(tzf);
    ASSERT_FALSE(expected.isNull());
    ASSERT_EQ(difference(expected, original), "") << "tzfconv does not show the original";
    QImage::Format format = c.bits == 8 ? QImage::Format_Indexed8 : QImage::Format_RGB888;
    for (Source source :
         {Source::kFile, Source::kSequentialBuffer, Source::kSlowSocket, Source::kPipe}) {
      SCOPED_TRACE(source_name(source));
      Outcome got = read_picture(tzf, source);
      EXPECT_TRUE(got.can_read);
      EXPECT_EQ(got.format, QByteArray("tzf"));
      EXPECT_EQ(got.size, QSize(c.width, c.height));
      EXPECT_EQ(got.image_format, format);
      ASSERT_TRUE(got.read) << got.messages.toStdString();
      EXPECT_EQ(got.image.format(), format);
      if (c.bits == 8) {
        EXPECT_EQ(got.image.colorCount(), 256);
      }
      EXPECT_EQ(difference(got.image, expected), "");
    }
    // QImage's own loading goes through the same plug-in.
    EXPECT_EQ(difference(QImage(tzf), expected), "");
  }
}

TEST_F(QtPlugin, ReadsTheSample) {
  QString sample = environment("TZF_SAMPLE");
  QImage expected = reference(sample);
  ASSERT_EQ(expected.size(), QSize(640, 360));
  for (Source source : {Source::kFile, Source::kSequentialBuffer, Source::kPipe}) {
    SCOPED_TRACE(source_name(source));
    Outcome got = read_picture(sample, source);
    EXPECT_TRUE(got.can_read);
    EXPECT_EQ(got.size, QSize(640, 360));
    EXPECT_EQ(got.image_format, QImage::Format_RGB888);
    ASSERT_TRUE(got.read) << got.messages.toStdString();
    EXPECT_EQ(difference(got.image, expected), "");
  }
}

TEST_F(QtPlugin, TruncatedPicturesShowWhatTheyHold) {
  for (int bits : {8, 24}) {
    QString tzf = encode(make_picture(101, 37, bits), bits, QString("whole_%1").arg(bits));
    ASSERT_FALSE(tzf.isEmpty());
    QByteArray whole = file_bytes(tzf);
    Layout at = layout_of(whole);
    ASSERT_LT(at.literals, whole.size());
    // Without streams every pixel is a zero literal: black, or the first
    // colour of the palette.
    enum Fill { kDecoded, kBlack, kFirstColour };
    struct Cut {
      const char* name;
      int size;
      Fill fill;
    };
    const Cut cuts[] = {
        {"header only", 64, kBlack},
        {"all streams missing", at.flags, bits == 8 ? kFirstColour : kBlack},
        {"in the flag stream", (at.flags + at.commands) / 2, kDecoded},
        {"in the command stream", (at.commands + at.literals) / 2, kDecoded},
        {"in the literal stream", (at.literals + static_cast<int>(whole.size())) / 2, kDecoded},
        {"last byte missing", static_cast<int>(whole.size()) - 1, kDecoded},
    };
    for (const Cut& cut : cuts) {
      SCOPED_TRACE(std::to_string(bits) + " bits, cut " + cut.name);
      QString name = path(QString("cut_%1_%2.tzf").arg(bits).arg(cut.size));
      ASSERT_TRUE(write_file(name, whole.left(cut.size)));
      QImage expected = reference(name);
      ASSERT_FALSE(expected.isNull()) << "tzfconv refuses the cut picture";
      for (Source source : {Source::kFile, Source::kSequentialBuffer, Source::kSlowSocket}) {
        SCOPED_TRACE(source_name(source));
        Outcome got = read_picture(name, source);
        EXPECT_EQ(got.size, QSize(101, 37));
        ASSERT_TRUE(got.read) << got.messages.toStdString();
        EXPECT_EQ(difference(got.image, expected), "");
        if (cut.fill != kDecoded) {
          QImage flat(101, 37, QImage::Format_RGB32);
          flat.fill(cut.fill == kBlack ? QColor(Qt::black) : QColor(got.image.color(0)));
          EXPECT_EQ(difference(got.image, flat), "");
        }
      }
    }
  }
}

TEST_F(QtPlugin, DeclaredStreamsLongerThanUsedAreSkipped) {
  // The flag and command streams are padded with bytes nothing uses; the
  // picture stays the same, whether the device can seek past them or not.
  QString tzf = encode(make_picture(17, 9, 24), 24, "plain");
  ASSERT_FALSE(tzf.isEmpty());
  QByteArray whole = file_bytes(tzf);
  QImage expected = reference(tzf);
  Layout at = layout_of(whole);
  const int pads[] = {1, 1000, 300000};
  for (int pad : pads) {
    SCOPED_TRACE("pad " + std::to_string(pad));
    QByteArray padded = whole.left(at.commands) + QByteArray(pad, '\x55') +
                        whole.mid(at.commands, at.literals - at.commands) +
                        QByteArray(pad, '\x66') + whole.mid(at.literals);
    store_u32(padded, 48, load_u32(whole, 48) + static_cast<uint32_t>(pad));
    store_u32(padded, 52, load_u32(whole, 52) + static_cast<uint32_t>(pad));
    QString name = path(QString("padded_%1.tzf").arg(pad));
    ASSERT_TRUE(write_file(name, padded));
    ASSERT_EQ(difference(reference(name), expected), "");
    for (Source source : {Source::kFile, Source::kSequentialBuffer, Source::kPipe}) {
      SCOPED_TRACE(source_name(source));
      Outcome got = read_picture(name, source);
      ASSERT_TRUE(got.read) << got.messages.toStdString();
      EXPECT_EQ(difference(got.image, expected), "");
    }
  }
}

TEST_F(QtPlugin, ReadsNoMoreOfAnEndlessDeviceThanThePictureCanUse) {
  for (int bits : {8, 24}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    QString tzf = encode(make_picture(33, 21, bits), bits, QString("endless_%1").arg(bits));
    ASSERT_FALSE(tzf.isEmpty());
    QByteArray whole = file_bytes(tzf);
    EndlessDevice device(whole);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device);
    Outcome got = ask(reader);
    ASSERT_TRUE(got.read) << got.messages.toStdString();
    EXPECT_EQ(difference(got.image, reference(tzf)), "");
    // Header, colour table and the most each stream can use, plus what
    // QIODevice reads ahead.
    const qint64 pixels = 33 * 21;
    const qint64 most =
        (bits == 8 ? 1088 : 64) + (pixels + 7) / 8 + (pixels + 2) / 3 + pixels * bits / 8 + 16384;
    EXPECT_LE(device.served(), most);
  }
}

TEST_F(QtPlugin, RefusesBadPicturesClearly) {
  const QString not_tzf = tzf_status_text(TZF_ERROR_NOT_TZF);
  const QString bad_size = tzf_status_text(TZF_ERROR_BAD_SIZE);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  const QString too_large = "exceeds the image allocation limit";
#else
  const QString too_large = "exceeds the limit of";
#endif
  struct Case {
    const char* name;
    QByteArray bytes;
    bool can_read;
    QSize size;  // before read(); invalid when the header gives none
    QString message;
  };
  const Case cases[] = {
      {"other bytes", QByteArray("Just some text, nothing like a picture.\n").repeated(40), false,
       QSize(), not_tzf},
      {"empty", QByteArray(), false, QSize(), not_tzf},
      {"width 0", make_header(0, 5, 24, 1, 2) + QByteArray(100, '\1'), true, QSize(), bad_size},
      {"height 0", make_header(7, 0, 8, 1, 2) + QByteArray(100, '\1'), true, QSize(), bad_size},
      {"negative height", make_header(7, -3, 24, 1, 2) + QByteArray(100, '\1'), true, QSize(),
       bad_size},
      {"65535 x 65535, 24-bit", make_header(65535, 65535, 24, 0xFFFFFFFF, 0xFFFFFFFF), true,
       QSize(65535, 65535), too_large},
      {"65535 x 65535, 8-bit", make_header(65535, 65535, 8, 0x1000, 0x1000), true,
       QSize(65535, 65535), too_large},
      {"just past 256 megapixels", make_header(16385, 16384, 8, 1, 1), true, QSize(16385, 16384),
       too_large},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QString name = path(QString(c.name).replace(' ', '_') + ".tzf");
    ASSERT_TRUE(write_file(name, c.bytes));
    // From a file named .tzf, and from a sequential buffer with the format
    // named, so that the plug-in is asked in both.
    for (Source source : {Source::kFile, Source::kSequentialBuffer}) {
      SCOPED_TRACE(source_name(source));
      Outcome got = read_picture(name, source, "tzf");
      EXPECT_EQ(got.can_read, c.can_read);
      EXPECT_EQ(got.size, c.size);
      EXPECT_FALSE(got.read);
      EXPECT_TRUE(got.image.isNull());
      EXPECT_TRUE(got.messages.contains(c.message)) << got.messages.toStdString();
    }
    // A hostile header followed by endless data is refused before its
    // streams are read.
    EndlessDevice device(c.bytes);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, "tzf");
    EXPECT_FALSE(ask(reader).read);
    EXPECT_LE(device.served(), 1088 + 16384);
  }
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
TEST_F(QtPlugin, KeepsToTheAllocationLimit) {
  // 1100 x 1000 pixels: 4.4 MB as Qt counts (four bytes a pixel).
  QString tzf = encode(make_picture(1100, 1000, 24), 24, "large");
  ASSERT_FALSE(tzf.isEmpty());
  const int before = QImageReader::allocationLimit();
  struct Case {
    int megabytes;
    bool read;
  };
  const Case cases[] = {{1, false}, {4, false}, {5, true}, {0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("limit " + std::to_string(c.megabytes) + " MB");
    QImageReader::setAllocationLimit(c.megabytes);
    for (Source source : {Source::kFile, Source::kSequentialBuffer}) {
      SCOPED_TRACE(source_name(source));
      Outcome got = read_picture(tzf, source);
      EXPECT_EQ(got.size, QSize(1100, 1000));
      EXPECT_EQ(got.read, c.read) << got.messages.toStdString();
      if (!c.read) {
        EXPECT_TRUE(got.messages.contains("allocation limit"));
      }
    }
  }
  QImageReader::setAllocationLimit(before);
}
#endif

// Reads one file through the plug-in and tells what came out.
int read_one(const QString& file) {
  QImageReader reader(file);
  QImage image;
  if (!reader.read(&image)) {
    printf("refused: %s\n", qPrintable(reader.errorString()));
    return 1;
  }
  printf("read %d x %d, %lld bytes\n", image.width(), image.height(),
         static_cast<long long>(image.sizeInBytes()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  // Only the freshly built plug-in, never an installed one.
  QCoreApplication::setLibraryPaths({environment("TZF_QT_PLUGINS")});
  if (argc == 3 && strcmp(argv[1], "--read") == 0) return read_one(QString::fromLocal8Bit(argv[2]));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
