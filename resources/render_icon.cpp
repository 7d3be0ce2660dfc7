// render_icon: a build step that draws the program's SVG icon as the PNG
// files of the hicolor theme sizes, for desktops that do not scale SVG.
//
//   render_icon ICON.svg OUTPUT_FOLDER SIZE...
//
// writes OUTPUT_FOLDER/SIZExSIZE/apps/<name of ICON>.png for every SIZE.
// Exits 1 with a message when the SVG cannot be read or a PNG written.
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: render_icon ICON.svg OUTPUT_FOLDER SIZE...\n", stderr);
    return 2;
  }
  // No display is needed to paint into an image.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString source = QString::fromLocal8Bit(argv[1]);
  QSvgRenderer renderer(source);
  if (!renderer.isValid()) {
    std::fprintf(stderr, "render_icon: can't read %s\n", argv[1]);
    return 1;
  }
  const QString name = QFileInfo(source).completeBaseName() + QStringLiteral(".png");
  for (int i = 3; i < argc; ++i) {
    const int size = QString::fromLatin1(argv[i]).toInt();
    if (size <= 0) {
      std::fprintf(stderr, "render_icon: bad size %s\n", argv[i]);
      return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      renderer.render(&painter);
    }
    const QString folder =
        QString::fromLocal8Bit(argv[2]) + QStringLiteral("/%1x%1/apps").arg(size);
    const QString path = folder + QLatin1Char('/') + name;
    if (!QDir().mkpath(folder) || !image.save(path, "PNG")) {
      std::fprintf(stderr, "render_icon: can't write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
