// QImageIOHandler for TZF pictures, built against Qt 5 and Qt 6 alike.
//
// canRead() only peeks at the device. option(Size) and option(ImageFormat)
// come from the 64-byte header, peeked when possible, else read once and kept
// for read(). read() takes the picture's bytes from the device, never more
// than the declared picture can use, and decodes them straight into the
// QImage: 8-bit pictures as Format_Indexed8 with their colour table, 24-bit
// ones as Format_RGB888. Problems are reported through the "tzf.imageio"
// logging category and a false return.
#ifndef TZF_QT_TZF_IMAGE_HANDLER_H
#define TZF_QT_TZF_IMAGE_HANDLER_H

#include <stdint.h>

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QLoggingCategory>

#include "tzf/tzf.h"

Q_DECLARE_LOGGING_CATEGORY(lcTzfImageIo)

// Qt 5 has no image allocation limit of its own: pictures with more pixels
// than this are refused there (Qt 6 applies QImageReader::allocationLimit).
constexpr uint64_t kTzfQt5MaxPixels = uint64_t{256} * 1024 * 1024;

// Bytes of the device a picture with this header can use at most: header,
// colour table, ceil(pixels / 8) flag bytes, ceil(pixels / 3) command bytes
// and the literal pixels. Declared streams longer than that are cut to it.
struct TzfReadPlan {
  uint64_t stream_offset;  // header and colour table
  uint64_t flag_keep;      // flag bytes used, then flag_skip bytes never used
  uint64_t flag_skip;
  uint64_t command_keep;  // likewise for the command stream
  uint64_t command_skip;
  uint64_t literal_keep;  // literal bytes used at most
  uint64_t total_keep;    // the sum of the kept parts
};

// The plan for an accepted header (width and height at least 1).
TzfReadPlan tzf_read_plan(const tzf_info& info);

class TzfImageHandler : public QImageIOHandler {
 public:
  TzfImageHandler();
  ~TzfImageHandler() override;

  bool canRead() const override;
  bool read(QImage* image) override;
  QVariant option(ImageOption option) const override;
  bool supportsOption(ImageOption option) const override;

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
};

#endif
