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

// Saves what `widget` shows as `name` in the build folder.
inline bool SavePicture(QWidget& widget, const QString& name) {
  const QString path = QDir(QStringLiteral(CORVANE_PICTURE_DIR)).filePath(name);
  return widget.grab().save(path);
}

}  // namespace dialog_test
