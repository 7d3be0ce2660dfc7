#include "ui/dialog_units.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QFontMetrics>
#include <QWidget>

namespace {

// du * base / divisor, rounded half away from zero.
int Scale(int du, int base, int divisor) {
  const long long product = static_cast<long long>(du) * base;
  const long long half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : -((-product + half) / divisor));
}

DialogBaseUnits UnitsOf(const QWidget* widget) {
  return MeasureDialogBaseUnits(widget ? widget->font() : QApplication::font());
}

}  // namespace

DialogBaseUnits MeasureDialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // The average over 52 letters, rounded: (sum / 26 + 1) / 2.
  return {(alphabet / 26 + 1) / 2, metrics.height()};
}

int DialogUnitsX(const QWidget* widget, int du) {
  return Scale(du, UnitsOf(widget).averageCharWidth, 4);
}

int DialogUnitsY(const QWidget* widget, int du) {
  return Scale(du, UnitsOf(widget).charHeight, 8);
}

QRect DialogRect(const QWidget* widget, int x, int y, int w, int h) {
  const DialogBaseUnits units = UnitsOf(widget);
  const int left = Scale(x, units.averageCharWidth, 4);
  const int top = Scale(y, units.charHeight, 8);
  const int right = Scale(x + w, units.averageCharWidth, 4);
  const int bottom = Scale(y + h, units.charHeight, 8);
  return QRect(left, top, right - left, bottom - top);
}

void AddOkCancelButtons(QDialog* dialog, int okX, int cancelX, int y, QPushButton*& ok,
                        QPushButton*& cancel) {
  ok = new QPushButton(QStringLiteral("OK"), dialog);
  ok->setGeometry(DialogRect(dialog, okX, y, 50, 14));
  ok->setDefault(true);
  cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
  cancel->setGeometry(DialogRect(dialog, cancelX, y, 50, 14));
  cancel->setAutoDefault(false);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

QColor CaptionColour(const QWidget* widget, const QColor& lightThemeColour) {
  const QPalette palette = widget ? widget->palette() : QApplication::palette();
  if (palette.color(QPalette::Window).lightness() >= 128) return lightThemeColour;
  const QColor link = palette.color(QPalette::Link);
  // Some dark palettes keep a dark link colour; lighten it until it reads.
  return link.lightness() >= 140 ? link : link.lighter(220);
}

QString PlainToolTip(const QString& text) {
  return text.isEmpty() ? QString() : QStringLiteral("<qt>%1</qt>").arg(text.toHtmlEscaped());
}
