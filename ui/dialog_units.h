// Geometry in dialog units: the window layouts of Corvane are given in the
// units of a dialog template, which scale with the dialog's font. One
// horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its character height.
//
// Window thread only (fonts are read from the widget).
#pragma once

#include <QColor>
#include <QRect>
#include <QString>

class QDialog;
class QFont;
class QPushButton;
class QWidget;

// The font's average character width and character height in pixels, as
// the dialog system measures them (average over "A".."Z" and "a".."z").
struct DialogBaseUnits {
  int averageCharWidth = 0;
  int charHeight = 0;
};
DialogBaseUnits MeasureDialogBaseUnits(const QFont& font);

// `du` dialog units in pixels for the font of `widget` (the application's
// font when `widget` is null), rounded to the nearest pixel.
int DialogUnitsX(const QWidget* widget, int du);
int DialogUnitsY(const QWidget* widget, int du);

// The rectangle (x, y, w, h) in dialog units as pixels. Each edge is
// converted on its own, so rectangles that touch in dialog units touch in
// pixels too.
QRect DialogRect(const QWidget* widget, int x, int y, int w, int h);

// Makes the dialog's "OK" (the default button) and "Cancel" buttons, 50 x 14
// units at (okX, y) and (cancelX, y), wired to accept and reject; Cancel
// never becomes the default.
void AddOkCancelButtons(QDialog* dialog, int okX, int cancelX, int y, QPushButton*& ok,
                        QPushButton*& cancel);

// The colour of a caption meant as `lightThemeColour` (a dark blue) on the
// palette of `widget`: that colour on a light window background; on a dark
// one the palette's link colour, which themes keep readable there.
QColor CaptionColour(const QWidget* widget, const QColor& lightThemeColour);

// A tooltip that shows `text` as it is. Qt shows a tooltip that looks like
// markup as markup, and program and host names are other people's text
// ("<img src=...>"): this one is always markup, with `text` escaped.
QString PlainToolTip(const QString& text);
