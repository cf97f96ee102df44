// The plug-in Qt finds in its imageformats folder: key "tzf", MIME type
// image/x-tzf (tzf.json). It reads and writes the format named "tzf" and
// recognises unnamed pictures for reading by their first bytes.
#include <QImageIOPlugin>

#include "tzf_image_handler.h"

class TzfImagePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "tzf.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
    if (format == "tzf") {
      if (device == nullptr || !device->isOpen()) return CanRead | CanWrite;
      Capabilities capabilities;
      if (device->isReadable()) capabilities |= CanRead;
      if (device->isWritable()) capabilities |= CanWrite;
      return capabilities;
    }
    if (!format.isEmpty() || device == nullptr || !device->isOpen()) return {};
    if (device->isReadable() && TzfImageHandler::canRead(device)) return CanRead;
    return {};
  }

  QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override {
    QImageIOHandler* handler = new TzfImageHandler;
    handler->setDevice(device);
    handler->setFormat(format.isEmpty() ? QByteArray("tzf") : format);
    return handler;
  }
};

#include "tzf_image_plugin.moc"
