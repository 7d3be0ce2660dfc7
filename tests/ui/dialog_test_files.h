// Files and pictures for the dialog tests: whole-file reads and writes in a
// temporary program directory, and the folder where pictures for people go.
#pragma once

#include <QDir>
#include <QString>
#include <QWidget>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace dialog_test {

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The file's bytes, or nullopt when it cannot be read.
inline std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "name.png" for the run at hand: "-x2" added at scale 2, "-dark" in a
// dark run (see ui_test_main.cpp), so that the runs keep their pictures
// side by side.
inline QString PictureName(const QString& name) {
  QString base = name;
  if (base.endsWith(QStringLiteral(".png"))) base.chop(4);
  const double scale = qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")
                           ? 1.0
                           : qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
  if (scale > 1.0) base += QStringLiteral("-x%1").arg(scale);
  if (qgetenv("CORVANE_TEST_COLOURS") == "dark") base += QStringLiteral("-dark");
  return base + QStringLiteral(".png");
}

#ifdef CORVANE_PICTURE_DIR
// Saves what `widget` shows as `name` (see PictureName()) in the build folder.
inline bool SavePicture(QWidget& widget, const QString& name) {
  const QString path = QDir(QStringLiteral(CORVANE_PICTURE_DIR)).filePath(PictureName(name));
  return widget.grab().save(path);
}
#endif

}  // namespace dialog_test
