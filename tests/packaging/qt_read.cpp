// A Qt program that reads a TZF picture through the installed image plug-in
// (the system's plug-in folder) and writes it as PPM; it also writes the
// picture as TZF through QImageWriter and checks that it reads back the same.
//   qt_read IN.tzf OUT.ppm
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: qt_read IN.tzf OUT.ppm\n");
    return 2;
  }
  if (!QImageReader::supportedImageFormats().contains("tzf")) {
    std::fprintf(stderr, "Qt %s: no tzf image format plug-in\n", qVersion());
    return 1;
  }
  QImageReader reader(QString::fromLocal8Bit(argv[1]));
  // The format is known once the file is recognised, before reading.
  const QByteArray format = reader.format();
  if (format != "tzf") {
    std::fprintf(stderr, "recognised as %s, not tzf\n", format.constData());
    return 1;
  }
  const QImage image = reader.read();
  if (image.isNull()) {
    std::fprintf(stderr, "Qt %s: %s\n", qVersion(), reader.errorString().toLocal8Bit().constData());
    return 1;
  }
  const QString again = QString::fromLocal8Bit(argv[2]) + ".tzf";
  QImageWriter writer(again);
  if (!writer.write(image) || QImage(again).convertToFormat(QImage::Format_RGB888) !=
                                  image.convertToFormat(QImage::Format_RGB888)) {
    std::fprintf(stderr, "Qt %s: QImageWriter did not write the picture back as TZF\n",
                 qVersion());
    return 1;
  }
  if (!image.convertToFormat(QImage::Format_RGB888).save(QString::fromLocal8Bit(argv[2]), "PPM")) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("Qt %s: %dx%d through the tzf plug-in, written back as TZF\n", qVersion(), image.width(), image.height());
  return 0;
}
