// The Qt image plug-in as an application meets it: QImageReader finds the
// freshly built plug-in (TZF_QT_PLUGINS, a folder holding
// imageformats/libqtzf.so) and reads pictures from files, sequential buffers,
// slow sockets, pipes and devices that never end: every picture of the shared
// corpus (TZF_CORPUS, listed in its expected.tsv), compared with its PNG or
// its failure class, and pictures made by tzfenc (TZF_TZFENC), compared with
// what tzfconv (TZF_TZFCONV) writes as PNG, read back through Qt's own PNG
// support. It writes through QImageWriter too: every picture of the write
// corpus (TZF_CORPUS/write, listed in its write.tsv) and every whole picture
// of the shared corpus, to files and to buffers, read back through the
// plug-in and through libtzf, exactly; QImage's other formats, sub-types,
// qualities and devices that fail. Built once against Qt 5 and once against
// Qt 6.
//
//   qtzf_test_qtN [gtest options]   the tests
//   qtzf_test_qtN --read FILE       reads FILE through the plug-in and says
//                                    what came out (for memory measurements)
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <QBuffer>
#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
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

// What the plug-in's warning about a picture whose data ends early says.
const QString kEndsEarly = "data ends early";

// Bytes a buffered QIODevice reads ahead of what is asked.
constexpr qint64 kReadAhead = 16384;

// The usable extent of a picture, as libtzf gives it; zeros for bytes that
// are no picture.
tzf_extent extent_of(const QByteArray& bytes) {
  tzf_info info{};
  tzf_extent extent{};
  if (tzf_read_info(bytes.constData(), static_cast<size_t>(bytes.size()), &info) == TZF_OK) {
    tzf_usable_extent(&info, &extent);
  }
  return extent;
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

// "" when both show the same colours, compared as RGB888, else where they
// first differ.
std::string difference(const QImage& got, const QImage& expected) {
  if (got.size() != expected.size()) {
    return "size " + std::to_string(got.width()) + "x" + std::to_string(got.height()) +
           " instead of " + std::to_string(expected.width()) + "x" +
           std::to_string(expected.height());
  }
  const QImage a = got.convertToFormat(QImage::Format_RGB888);
  const QImage b = expected.convertToFormat(QImage::Format_RGB888);
  for (int y = 0; y < a.height(); ++y) {
    const uchar* p = a.constScanLine(y);
    const uchar* q = b.constScanLine(y);
    for (int x = 0; x < a.width(); ++x) {
      if (memcmp(p + 3 * x, q + 3 * x, 3) != 0) {
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
  QImageReader::ImageReaderError error = QImageReader::UnknownError;
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
  outcome.error = reader.error();
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
      EXPECT_FALSE(got.messages.contains(kEndsEarly)) << got.messages.toStdString();
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
    const tzf_extent extent = extent_of(whole);
    const int flags = static_cast<int>(extent.part[TZF_PART_FLAGS].offset);
    const int commands = static_cast<int>(extent.part[TZF_PART_COMMANDS].offset);
    const int literals = static_cast<int>(extent.part[TZF_PART_LITERALS].offset);
    ASSERT_LT(literals, whole.size());
    // Without streams every pixel is a zero literal: black, or the first
    // colour of the palette.
    enum Fill { kDecoded, kBlack, kFirstColour };
    struct Cut {
      const char* name;
      int size;
      Fill fill;
    };
    const Cut cuts[] = {
        {"header only", TZF_HEADER_SIZE, kBlack},
        {"all streams missing", flags, bits == 8 ? kFirstColour : kBlack},
        {"in the flag stream", (flags + commands) / 2, kDecoded},
        {"in the command stream", (commands + literals) / 2, kDecoded},
        {"in the literal stream", (literals + static_cast<int>(whole.size())) / 2, kDecoded},
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
        EXPECT_TRUE(got.messages.contains(kEndsEarly)) << got.messages.toStdString();
        if (cut.fill != kDecoded) {
          QImage flat(101, 37, QImage::Format_RGB32);
          flat.fill(cut.fill == kBlack ? QColor(Qt::black) : QColor(got.image.color(0)));
          EXPECT_EQ(difference(got.image, flat), "");
        }
      }
    }
  }
}

// One line of the corpus's expected.tsv.
struct Expected {
  QString name;   // NAME.tzf
  QString kind;   // ok, truncated, not-tzf, bad-size or limit
  int rows_held;  // rows whose bytes were all there, counted from the bottom
};

std::vector<Expected> read_expected(const QString& file) {
  std::vector<Expected> lines;
  for (const QByteArray& line : file_bytes(file).split('\n')) {
    const QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty() || text.startsWith('#')) continue;
    const QStringList fields = text.split('\t');
    lines.push_back({fields.value(0), fields.value(1), fields.value(2).toInt()});
  }
  return lines;
}

// Every picture of the shared corpus (TZF_CORPUS) from a file and from a
// device that hands out seven bytes a read: the pixels of NAME.png, or the
// failure its class names (not-tzf: the plug-in does not claim the bytes;
// bad-size and limit: it claims them, then refuses to read, with the
// reason). A device that never ends serves each whole or refused picture
// too: the plug-in reads no more of it than the picture can use, and none
// of a picture it refuses.
TEST_F(QtPlugin, ReadsTheCorpusAsExpected) {
  const QString corpus = environment("TZF_CORPUS");
  const std::vector<Expected> lines = read_expected(corpus + "/expected.tsv");
  ASSERT_FALSE(lines.empty()) << "no pictures listed in " << corpus.toStdString()
                              << "/expected.tsv";
  for (const Expected& e : lines) {
    SCOPED_TRACE((e.name + " (" + e.kind + ")").toStdString());
    const QString tzf = corpus + "/" + e.name;
    ASSERT_TRUE(QFile::exists(tzf));
    const QByteArray bytes = file_bytes(tzf);
    tzf_info info{};
    const int status = tzf_read_info(bytes.constData(), static_cast<size_t>(bytes.size()), &info);
    const bool decodes = e.kind == "ok" || e.kind == "truncated";
    QImage expected;
    if (decodes) {
      expected = QImage(corpus + "/" + QFileInfo(e.name).completeBaseName() + ".png", "PNG");
      ASSERT_FALSE(expected.isNull()) << "no PNG beside the picture";
      ASSERT_EQ(status, TZF_OK);
    } else if (e.kind != "not-tzf" && e.kind != "bad-size" && e.kind != "limit") {
      ADD_FAILURE() << "unknown class";
      continue;
    }
    for (Source source : {Source::kFile, Source::kSlowSocket}) {
      SCOPED_TRACE(source_name(source));
      const Outcome got = read_picture(tzf, source);
      const std::string messages = got.messages.toStdString();
      if (e.kind == "not-tzf") {
        // The plug-in does not claim it; Qt may then find another format
        // that does, by content.
        if (got.format == "tzf") {
          EXPECT_FALSE(got.can_read);
          EXPECT_FALSE(got.read);
          EXPECT_TRUE(got.image.isNull());
        }
        continue;
      }
      EXPECT_TRUE(got.can_read);
      EXPECT_EQ(got.format, QByteArray("tzf"));
      if (!decodes) {
        EXPECT_FALSE(got.read);
        EXPECT_TRUE(got.image.isNull());
        EXPECT_EQ(got.error, QImageReader::InvalidDataError);
        if (e.kind == "bad-size") {
          EXPECT_FALSE(got.size.isValid());
          EXPECT_TRUE(got.messages.contains(tzf_status_text(TZF_ERROR_BAD_SIZE))) << messages;
        } else {
          EXPECT_EQ(got.size, QSize(static_cast<int>(info.width), static_cast<int>(info.height)));
          EXPECT_TRUE(got.messages.contains("limit")) << messages;
        }
        continue;
      }
      const QImage::Format format =
          info.bits_per_pixel == 8 ? QImage::Format_Indexed8 : QImage::Format_RGB888;
      EXPECT_EQ(got.size, expected.size());
      EXPECT_EQ(got.image_format, format);
      ASSERT_TRUE(got.read) << messages;
      EXPECT_EQ(got.image.format(), format);
      EXPECT_EQ(difference(got.image, expected), "");
      if (e.kind == "truncated") {
        const QString rows = QString("%1 of %2 rows").arg(e.rows_held).arg(info.height);
        EXPECT_TRUE(got.messages.contains(rows)) << messages;
      } else {
        EXPECT_FALSE(got.messages.contains(kEndsEarly)) << messages;
      }
    }
    // Bytes after a cut picture would change it: only whole ones.
    if (e.kind == "not-tzf" || e.kind == "truncated") continue;
    EndlessDevice device(bytes);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device);
    const Outcome got = ask(reader);
    EXPECT_EQ(got.read, decodes) << got.messages.toStdString();
    if (e.kind == "ok") {
      EXPECT_EQ(difference(got.image, expected), "");
    }
    const qint64 most = (decodes ? static_cast<qint64>(extent_of(bytes).end) : TZF_INFO_SIZE);
    EXPECT_LE(device.served(), most + kReadAhead);
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

// ---- Writing ----

// The pixels of TZF bytes as libtzf decodes them, as RGB888; a null image
// when it does not decode them.
QImage libtzf_pixels(const QByteArray& bytes, tzf_info* info) {
  *info = tzf_info{};
  const size_t size = static_cast<size_t>(bytes.size());
  if (tzf_read_info(bytes.constData(), size, info) != TZF_OK ||
      tzf_check_limits(info, TZF_FORMAT_RGB, nullptr) != TZF_OK) {
    return QImage();
  }
  QImage image(static_cast<int>(info->width), static_cast<int>(info->height),
               QImage::Format_RGB888);
  if (image.isNull() ||
      tzf_decode(bytes.constData(), size, TZF_FORMAT_RGB, image.bits(),
                 static_cast<ptrdiff_t>(image.bytesPerLine()), nullptr) != TZF_OK) {
    return QImage();
  }
  return image;
}

// Where QImageWriter writes.
enum class Target { kFile, kBuffer };

const char* target_name(Target target) { return target == Target::kFile ? "file" : "buffer"; }

// What QImageWriter said, and the bytes it wrote.
struct Written {
  bool ok = false;
  QByteArray bytes;
  QImageWriter::ImageWriterError error = QImageWriter::UnknownError;
  QString messages;
};

// How QImageWriter is set up besides its device.
struct WriteSettings {
  int quality = -1;  // QImageWriter's default
  QByteArray sub_type;
};

Written write_with(QImageWriter& writer, const QImage& image, const WriteSettings& settings) {
  MessageCapture capture;
  Written written;
  writer.setQuality(settings.quality);
  writer.setSubType(settings.sub_type);
  written.ok = writer.write(image);
  written.error = writer.error();
  written.messages = capture.text();
  return written;
}

// Writes `image` to `file` (named by its suffix) or to a buffer (named "tzf").
Written write_picture(const QImage& image, Target target, const QString& file,
                      const WriteSettings& settings = {}) {
  if (target == Target::kFile) {
    Written written;
    {
      QImageWriter writer(file);
      written = write_with(writer, image, settings);
    }
    written.bytes = file_bytes(file);
    return written;
  }
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "tzf");
  Written written = write_with(writer, image, settings);
  written.bytes = buffer.data();
  return written;
}

// TZF bytes read back through the plug-in, recognised by their content.
QImage read_back(const QByteArray& bytes, QByteArray* sub_type = nullptr) {
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  if (sub_type != nullptr) *sub_type = reader.subType();
  return reader.read();
}

// "" when the Indexed8 images hold the same indices, else where they
// first differ.
std::string index_difference(const QImage& got, const QImage& expected) {
  if (got.format() != QImage::Format_Indexed8 || got.size() != expected.size()) {
    return "not an Indexed8 image of the size";
  }
  for (int y = 0; y < got.height(); ++y) {
    for (int x = 0; x < got.width(); ++x) {
      if (got.constScanLine(y)[x] != expected.constScanLine(y)[x]) {
        return "index at (" + std::to_string(x) + ", " + std::to_string(y) + ") is " +
               std::to_string(got.constScanLine(y)[x]) + " instead of " +
               std::to_string(expected.constScanLine(y)[x]);
      }
    }
  }
  return "";
}

// What the plug-in says when it composites a transparent image.
const QString kComposited = "composited over white";

class QtWriter : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.isValid()); }
  QString path(const QString& name) const { return folder_.filePath(name); }

  // Writes `image` to a file and to a buffer; checks that both hold the same
  // bytes, that libtzf and the plug-in decode them to `expected` (RGB888
  // colours) in a file of `bits` bits a pixel, and returns the bytes.
  QByteArray round_trip(const QImage& image, const QImage& expected, int bits, bool composited,
                        const WriteSettings& settings = {}) {
    QByteArray first;
    for (Target target : {Target::kFile, Target::kBuffer}) {
      SCOPED_TRACE(target_name(target));
      const Written written = write_picture(image, target, path("written.tzf"), settings);
      EXPECT_TRUE(written.ok) << written.messages.toStdString();
      if (!written.ok) return QByteArray();
      EXPECT_EQ(written.messages.contains(kComposited), composited)
          << written.messages.toStdString();
      if (target == Target::kFile) {
        first = written.bytes;
      } else {
        EXPECT_EQ(written.bytes, first) << "the buffer holds other bytes than the file";
      }
      tzf_info info{};
      const QImage decoded = libtzf_pixels(written.bytes, &info);
      EXPECT_EQ(static_cast<int>(info.bits_per_pixel), bits);
      EXPECT_EQ(difference(decoded, expected), "") << "libtzf";
      QByteArray sub_type;
      const QImage read = read_back(written.bytes, &sub_type);
      EXPECT_EQ(sub_type, QByteArray::number(bits));
      EXPECT_EQ(read.format(), bits == 8 ? QImage::Format_Indexed8 : QImage::Format_RGB888);
      EXPECT_EQ(difference(read, expected), "") << "QImageReader";
    }
    return first;
  }

  QTemporaryDir folder_;
};

TEST_F(QtWriter, IsFoundByQt) {
  EXPECT_TRUE(QImageWriter::supportedImageFormats().contains("tzf"));
  EXPECT_TRUE(QImageWriter::supportedMimeTypes().contains("image/x-tzf"));
  QImageWriter by_name(path("x.tzf"));
  EXPECT_TRUE(by_name.canWrite()) << by_name.errorString().toStdString();
  EXPECT_TRUE(by_name.supportsOption(QImageIOHandler::Quality));
  EXPECT_TRUE(by_name.supportsOption(QImageIOHandler::SubType));
  EXPECT_EQ(by_name.supportedSubTypes(), (QList<QByteArray>{"8", "24"}));
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter to_buffer(&buffer, "tzf");
  EXPECT_TRUE(to_buffer.canWrite()) << to_buffer.errorString().toStdString();
}

// One picture to write: the write corpus's kinds, and "true colour" for the
// shared corpus's whole pictures, written from RGB32.
struct WriteCase {
  QString name, kind, expected;
};

std::vector<WriteCase> write_cases(const QString& corpus) {
  std::vector<WriteCase> cases;
  for (const QByteArray& line : file_bytes(corpus + "/write/write.tsv").split('\n')) {
    const QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty() || text.startsWith('#')) continue;
    const QStringList fields = text.split('\t');
    cases.push_back({"write/" + fields.value(0), fields.value(1), "write/" + fields.value(2)});
  }
  for (const Expected& e : read_expected(corpus + "/expected.tsv")) {
    if (e.kind != "ok") continue;
    const QString png = QFileInfo(e.name).completeBaseName() + ".png";
    cases.push_back({png, "true colour", png});
  }
  return cases;
}

TEST_F(QtWriter, WritesTheCorpusExactly) {
  const QString corpus = environment("TZF_CORPUS");
  const std::vector<WriteCase> cases = write_cases(corpus);
  ASSERT_GT(cases.size(), 10u) << "no pictures listed in " << corpus.toStdString();
  for (const WriteCase& c : cases) {
    SCOPED_TRACE((c.name + " (" + c.kind + ")").toStdString());
    QImage image(corpus + "/" + c.name, "PNG");
    const QImage expected(corpus + "/" + c.expected, "PNG");
    ASSERT_FALSE(image.isNull());
    ASSERT_FALSE(expected.isNull());
    const bool palette = c.kind == "palette";
    if (palette) {
      ASSERT_EQ(image.format(), QImage::Format_Indexed8);
    } else if (c.kind == "true colour") {
      image = image.convertToFormat(QImage::Format_RGB32);
    } else {
      ASSERT_TRUE(c.kind == "rgb" || c.kind == "rgba") << "unknown kind";
    }
    const QByteArray bytes = round_trip(image, expected, palette ? 8 : 24, c.kind == "rgba");
    if (!palette || bytes.isEmpty()) continue;
    // The colour table and every index as they were.
    tzf_info info{};
    ASSERT_EQ(tzf_read_info(bytes.constData(), static_cast<size_t>(bytes.size()), &info), TZF_OK);
    const QImage read = read_back(bytes);
    for (int i = 0; i < image.colorCount(); ++i) {
      EXPECT_EQ(qRgb(info.palette[i][0], info.palette[i][1], info.palette[i][2]), image.color(i))
          << "colour " << i;
      EXPECT_EQ(read.color(i), image.color(i)) << "colour " << i;
    }
    EXPECT_EQ(index_difference(read, image), "");
  }
}

TEST_F(QtWriter, QualityChoosesTheEffort) {
  const QString corpus = environment("TZF_CORPUS");
  qint64 smallest_total = 0, fast_total = 0;
  for (const char* name : {"rgb_scene_320x200.png", "rgb_odd_61x41.png", "palette_full_64x64.png",
                           "palette_wide_1001x3.png"}) {
    SCOPED_TRACE(name);
    const QImage image(corpus + "/write/" + name, "PNG");
    ASSERT_FALSE(image.isNull());
    const int bits = image.format() == QImage::Format_Indexed8 ? 8 : 24;
    // Qualities that ask for the same effort give the same file.
    const QByteArray smallest = round_trip(image, image, bits, false, {-1, {}});
    const QByteArray fast = round_trip(image, image, bits, false, {50, {}});
    ASSERT_FALSE(smallest.isEmpty());
    ASSERT_FALSE(fast.isEmpty());
    struct Case {
      int quality;
      const QByteArray& same_as;
    };
    for (const Case& q : {Case{100, smallest}, Case{51, smallest}, Case{0, fast}}) {
      SCOPED_TRACE("quality " + std::to_string(q.quality));
      const Written written = write_picture(image, Target::kBuffer, {}, {q.quality, {}});
      EXPECT_TRUE(written.ok);
      EXPECT_EQ(written.bytes, q.same_as);
    }
    EXPECT_LE(smallest.size(), fast.size());
    smallest_total += smallest.size();
    fast_total += fast.size();
  }
  EXPECT_LT(smallest_total, fast_total);
}

// Transparent colours of a table: even entries fully transparent.
QImage with_transparent_entries(QImage image) {
  QVector<QRgb> table = image.colorTable();
  for (int i = 0; i < table.size(); i += 2) table[i] = qRgba(qRed(table[i]), 0, 0, 0);
  image.setColorTable(table);
  return image;
}

// The image over white, where its pixels are opaque or fully transparent.
QImage over_white(const QImage& image) {
  QImage result = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < result.height(); ++y) {
    for (int x = 0; x < result.width(); ++x) {
      const QRgb pixel = result.pixel(x, y);
      if (qAlpha(pixel) == 0) result.setPixel(x, y, qRgb(255, 255, 255));
    }
  }
  return result;
}

TEST_F(QtWriter, ConvertsQImagesOtherFormats) {
  const QString corpus = environment("TZF_CORPUS") + "/write/";
  const QImage indexed(corpus + "palette_odd_37x23.png", "PNG");
  const QImage rgb(corpus + "rgb_odd_61x41.png", "PNG");
  const QImage rgba(corpus + "rgba_disc_64x48.png", "PNG");
  const QImage rgba_over_white(corpus + "rgba_disc_64x48.over-white.png", "PNG");
  ASSERT_FALSE(indexed.isNull() || rgb.isNull() || rgba.isNull() || rgba_over_white.isNull());
  const QImage transparent_table = with_transparent_entries(indexed);
  struct Case {
    const char* name;
    QImage image;
    int bits;
    QImage expected;  // colours the file holds; null: the image's own
    bool composited;
  };
  const Case cases[] = {
    {"RGB32", rgb.convertToFormat(QImage::Format_RGB32), 24, {}, false},
    {"opaque ARGB32", rgb.convertToFormat(QImage::Format_ARGB32), 24, {}, false},
    {"RGBX8888", rgb.convertToFormat(QImage::Format_RGBX8888), 24, {}, false},
    {"RGB16", rgb.convertToFormat(QImage::Format_RGB16), 24, {}, false},
    {"RGB30", rgb.convertToFormat(QImage::Format_RGB30), 24, {}, false},
    {"RGB888", rgb.convertToFormat(QImage::Format_RGB888), 24, {}, false},
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    {"BGR888", rgb.convertToFormat(QImage::Format_BGR888), 24, {}, false},
#endif
    {"ARGB32", rgba.convertToFormat(QImage::Format_ARGB32), 24, rgba_over_white, true},
    {"RGBA8888", rgba.convertToFormat(QImage::Format_RGBA8888), 24, rgba_over_white, true},
    {"Grayscale8", rgb.convertToFormat(QImage::Format_Grayscale8), 8, {}, false},
    {"Mono", indexed.convertToFormat(QImage::Format_Mono), 8, {}, false},
    {"MonoLSB", indexed.convertToFormat(QImage::Format_MonoLSB), 8, {}, false},
    {"Indexed8 with transparent colours", transparent_table, 8, over_white(transparent_table),
     true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.isNull());
    round_trip(c.image, c.expected.isNull() ? c.image : c.expected, c.bits, c.composited);
  }
}

TEST_F(QtWriter, SubTypesChooseTheDepth) {
  const QString corpus = environment("TZF_CORPUS") + "/write/";
  const QImage indexed(corpus + "palette_odd_37x23.png", "PNG");
  const QImage few(corpus + "rgb_few_colours_45x30.png", "PNG");
  const QImage rgb(corpus + "rgb_odd_61x41.png", "PNG");
  ASSERT_FALSE(indexed.isNull() || few.isNull() || rgb.isNull());
  struct Case {
    const char* sub_type;
    const QImage& image;
    int bits;
  };
  // Pictures of at most 256 colours keep them at 8 bits.
  const Case cases[] = {
      {"24", indexed, 24}, {"rgb", indexed, 24}, {"RGB", indexed, 24}, {"8", indexed, 8},
      {"8", few, 8},       {"indexed", few, 8},  {"24", few, 24},      {"24", rgb, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sub_type) + " from " + std::to_string(c.image.width()));
    round_trip(c.image, c.image, c.bits, false, {-1, c.sub_type});
  }
  // More colours than 8 bits hold: a chosen palette, read back alike.
  const QImage scene(corpus + "rgb_scene_320x200.png", "PNG");
  const Written written = write_picture(scene, Target::kBuffer, {}, {-1, "8"});
  ASSERT_TRUE(written.ok) << written.messages.toStdString();
  tzf_info info{};
  const QImage decoded = libtzf_pixels(written.bytes, &info);
  EXPECT_EQ(info.bits_per_pixel, 8u);
  EXPECT_EQ(difference(read_back(written.bytes), decoded), "");
  // A sub-type the plug-in does not know writes nothing.
  for (Target target : {Target::kFile, Target::kBuffer}) {
    SCOPED_TRACE(target_name(target));
    const Written refused = write_picture(rgb, target, path("bogus.tzf"), {-1, "16"});
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.messages.contains("sub-type")) << refused.messages.toStdString();
    EXPECT_TRUE(refused.bytes.isEmpty());
  }
}

// A device open for writing that takes `accepts` bytes, then fails.
class FailingDevice : public QIODevice {
 public:
  explicit FailingDevice(qint64 accepts) : accepts_(accepts) {}

 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char*, qint64 size) override {
    const qint64 n = std::min(size, accepts_ - taken_);
    if (n <= 0) {
      setErrorString("the device is full");
      return -1;
    }
    taken_ += n;
    return n;
  }

 private:
  qint64 accepts_;
  qint64 taken_ = 0;
};

TEST_F(QtWriter, ReportsDevicesThatFail) {
  const QImage image(environment("TZF_CORPUS") + "/write/rgb_odd_61x41.png", "PNG");
  ASSERT_FALSE(image.isNull());
  // Qt's own checks: a file that cannot be made, a device not open for writing.
  {
    QImageWriter writer(path("no such folder/x.tzf"));
    EXPECT_FALSE(writer.write(image));
    EXPECT_EQ(writer.error(), QImageWriter::DeviceError);
  }
  {
    QBuffer buffer;
    buffer.open(QIODevice::ReadOnly);
    QImageWriter writer(&buffer, "tzf");
    EXPECT_FALSE(writer.write(image));
    EXPECT_EQ(writer.error(), QImageWriter::DeviceError);
  }
  // The plug-in's: devices that refuse the bytes at once or part way, and a
  // file on a full disk.
  for (qint64 accepts : {0, 1, 100}) {
    SCOPED_TRACE("accepts " + std::to_string(accepts));
    FailingDevice device(accepts);
    device.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    QImageWriter writer(&device, "tzf");
    const Written written = write_with(writer, image, {});
    EXPECT_FALSE(written.ok);
    EXPECT_TRUE(written.messages.contains("the device is full")) << written.messages.toStdString();
  }
  if (QFileInfo::exists("/dev/full")) {
    QImageWriter writer("/dev/full", "tzf");
    const Written written = write_with(writer, image, {});
    EXPECT_FALSE(written.ok);
    EXPECT_TRUE(written.messages.contains("cannot write")) << written.messages.toStdString();
  }
  // No image.
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "tzf");
  EXPECT_FALSE(writer.write(QImage()));
  EXPECT_TRUE(buffer.data().isEmpty());
}

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
