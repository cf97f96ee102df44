// QImageIOHandler for TZF pictures, built against Qt 5 and Qt 6 alike.
//
// canRead() only peeks at the device. option(Size) and option(ImageFormat)
// come from the header and colour table (the first TZF_INFO_SIZE bytes),
// peeked when possible, else read once and kept for read(). read() checks
// the picture against the limits (Qt 6: QImageReader::allocationLimit(); Qt
// 5: the library's defaults) before allocating anything, takes from the
// device only the bytes libtzf says decoding can use, and decodes them
// straight into the QImage: 8-bit pictures as Format_Indexed8 with their
// colour table, 24-bit ones as Format_RGB888. A picture whose data ends early
// is shown as far as it goes, the rest as if the missing bytes were zero,
// with a warning.
//
// write() encodes through libtzf into memory of its own and hands the file
// to the device: Indexed8 images as 8-bit files keeping their colour table
// (entries with alpha composited over white), Grayscale8 as 8 bits with a
// grey table, Mono through Indexed8; images with alpha are composited over
// white into 24 bits, every other format is written as 24-bit RGB. Options:
// Quality (up to 50: the fast encoder, else and by default the smallest
// file) and SubType ("8" or "indexed", "24" or "rgb"; reading gives "8" or
// "24").
//
// Problems are reported through the "tzf.imageio" logging category and a
// false return.
#ifndef TZF_QT_TZF_IMAGE_HANDLER_H
#define TZF_QT_TZF_IMAGE_HANDLER_H

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QLoggingCategory>

#include "tzf/tzf.h"

Q_DECLARE_LOGGING_CATEGORY(lcTzfImageIo)

// The limits read() applies: Qt 6's allocation limit (which counts four
// bytes a pixel, at least) as libtzf's limits; no limit when the
// application lifted Qt's. Qt 5 has no limit of its own: the library's
// defaults.
tzf_limits tzf_qt_limits();

class TzfImageHandler : public QImageIOHandler {
 public:
  TzfImageHandler();
  ~TzfImageHandler() override;

  bool canRead() const override;
  bool read(QImage* image) override;
  QVariant option(ImageOption option) const override;
  void setOption(ImageOption option, const QVariant& value) override;
  bool supportsOption(ImageOption option) const override;

  bool write(const QImage& image) override;

  // True when the device's next bytes start a TZF picture (peeks only).
  static bool canRead(QIODevice* device);

 private:
  // Reads the header once: TZF_OK or the status of tzf_read_info.
  int header() const;

  mutable bool header_done_ = false;
  mutable int header_status_ = TZF_ERROR_NOT_TZF;
  mutable tzf_info info_{};
  // Header bytes taken from the device when peeking could not see them all;
  // read() uses them before the rest of the device.
  mutable QByteArray taken_;

  // The writing options: QImageIOHandler::Quality and SubType.
  int quality_ = -1;
  QByteArray sub_type_;
};

#endif
