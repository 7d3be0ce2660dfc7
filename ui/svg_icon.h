// Pictures from the program's SVG resources at an exact pixel size.
//
// Window thread only.
#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

// Renders the SVG at `path` (e.g. ":/icons/help.svg") into a transparent
// pixmap of `size` logical pixels at `devicePixelRatio`. Other image formats
// are loaded and scaled. Returns a null pixmap when the file cannot be read.
QPixmap LoadIconPixmap(const QString& path, QSize size, qreal devicePixelRatio = 1.0);
