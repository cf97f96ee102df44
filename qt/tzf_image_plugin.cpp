// The plug-in Qt finds in its imageformats folder: key "tzf", MIME type
// image/x-tzf (tzf.json).
#include <QImageIOPlugin>

#include "tzf_image_handler.h"

class TzfImagePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "tzf.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
    if (format == "tzf") return CanRead;
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
