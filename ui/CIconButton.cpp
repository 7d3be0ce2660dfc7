#include "ui/CIconButton.h"

#include <QEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include "ui/svg_icon.h"

namespace {

// A line from `from` towards `to`, axis-parallel, one pixel wide, without its
// end point: the pixels a classic line drawing covers.
void Segment(QPainter& painter, QPoint from, QPoint to, const QColor& colour) {
  if (from == to) return;
  QRect pixels;
  if (from.y() == to.y()) {
    pixels = from.x() < to.x() ? QRect(from.x(), from.y(), to.x() - from.x(), 1)
                               : QRect(to.x() + 1, from.y(), from.x() - to.x(), 1);
  } else {
    pixels = from.y() < to.y() ? QRect(from.x(), from.y(), 1, to.y() - from.y())
                               : QRect(from.x(), to.y() + 1, 1, from.y() - to.y());
  }
  painter.fillRect(pixels, colour);
}

// Two joined segments; only the last end point is left out.
void Polyline(QPainter& painter, QPoint a, QPoint b, QPoint c, const QColor& colour) {
  Segment(painter, a, b, colour);
  Segment(painter, b, c, colour);
}

// A 1-pixel frame along the inside of `r`.
void Frame(QPainter& painter, const QRect& r, const QColor& colour) {
  if (r.isEmpty()) return;
  painter.fillRect(QRect(r.left(), r.top(), r.width(), 1), colour);
  painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), colour);
  painter.fillRect(QRect(r.left(), r.top(), 1, r.height()), colour);
  painter.fillRect(QRect(r.right(), r.top(), 1, r.height()), colour);
}

// The dotted focus rectangle: every other pixel along the inside of `r`,
// starting at its top-left corner.
void FocusRect(QPainter& painter, const QRect& r, const QColor& colour) {
  if (r.width() < 1 || r.height() < 1) return;
  const int left = r.left(), top = r.top(), right = r.right(), bottom = r.bottom();
  for (int x = left; x <= right; ++x) {
    if ((x - left) % 2 == 0) {
      painter.fillRect(QRect(x, top, 1, 1), colour);
      if (bottom != top) painter.fillRect(QRect(x, bottom, 1, 1), colour);
    }
  }
  for (int y = top; y <= bottom; ++y) {
    if ((y - top) % 2 == 0) {
      painter.fillRect(QRect(left, y, 1, 1), colour);
      if (right != left) painter.fillRect(QRect(right, y, 1, 1), colour);
    }
  }
}

constexpr int kTextFlags = Qt::AlignHCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;

}  // namespace

CIconButton::CIconButton(QWidget* parent) : QPushButton(parent) {
  // The drawing covers the whole button; nothing behind it needs erasing.
  setAttribute(Qt::WA_OpaquePaintEvent);
  ResetColours();
}

void CIconButton::AssignIcon(const QString& resourcePath) {
  icon_ = LoadIconPixmap(resourcePath, QSize(kIconSize, kIconSize), devicePixelRatioF());
  updateGeometry();
  update();
}

void CIconButton::ResetColours() {
  const QPalette& pal = palette();
  for (int state = kNormal; state <= kFocused; ++state) {
    background_[state] = pal.color(QPalette::Active, QPalette::Button);
    text_[state] = pal.color(QPalette::Active, QPalette::ButtonText);
  }
}

void CIconButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
    ResetColours();
  }
  QPushButton::changeEvent(event);
}

void CIconButton::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second click of a double click is a click of its own.
  mousePressEvent(event);
}

QSize CIconButton::sizeHint() const {
  const QFontMetrics metrics(font());
  if (text().isEmpty()) return QSize(kIconSize + 10, kIconSize + 10);
  const QSize caption = metrics.size(Qt::TextShowMnemonic, text());
  return QSize(kIconMargin + kIconSize + caption.width() + 12,
               std::max(kIconSize, caption.height()) + 8);
}

QSize CIconButton::minimumSizeHint() const { return QSize(kIconSize + 4, kIconSize + 4); }

void CIconButton::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QPalette& pal = palette();
  const bool pressed = isDown();
  const bool focused = hasFocus();
  const bool disabled = !isEnabled();
  const State state = pressed ? kPressed : focused ? kFocused : kNormal;
  const QRect item = rect();

  QRect r = item;
  if (focused || isDefault()) {
    Frame(painter, r, Qt::black);
    r.adjust(1, 1, -1, -1);
  }

  painter.fillRect(r, background_[state]);

  // Edges on r, with exclusive right and bottom coordinates.
  const int L = r.left(), T = r.top(), Rt = r.left() + r.width(), B = r.top() + r.height();
  if (pressed) {
    Frame(painter, r, pal.color(QPalette::Dark));
  } else {
    Polyline(painter, {L, B - 1}, {L, T}, {Rt, T}, pal.color(QPalette::Light));
    Polyline(painter, {L + 1, B - 1}, {L + 1, T + 1}, {Rt, T + 1}, pal.color(QPalette::Midlight));
    Polyline(painter, {L, B - 1}, {Rt - 1, B - 1}, {Rt - 1, T - 1}, pal.color(QPalette::Shadow));
    Polyline(painter, {L + 1, B - 2}, {Rt - 2, B - 2}, {Rt - 2, T}, pal.color(QPalette::Dark));
  }

  const int offset = pressed ? 1 : 0;
  const bool hasCaption = !text().isEmpty();
  if (!icon_.isNull()) {
    const int iconX = hasCaption ? item.left() + kIconMargin : item.left() + (item.width() - kIconSize) / 2;
    const int iconY = item.top() + (item.height() - kIconSize) / 2;
    const QPoint at(iconX + offset, iconY + offset);
    if (disabled) {
      QStyleOption option;
      option.initFrom(this);
      painter.drawPixmap(at, style()->generatedIconPixmap(QIcon::Disabled, icon_, &option));
    } else {
      painter.drawPixmap(at, icon_);
    }
  }

  if (hasCaption) {
    QRect captionRect = item;
    if (!icon_.isNull()) captionRect.setLeft(item.left() + kIconSize + kIconMargin);
    const QRect measured = painter.fontMetrics().boundingRect(captionRect, kTextFlags, text());
    QRect block(QPoint(0, 0), measured.size());
    block.moveCenter(captionRect.center());
    block.translate(offset, offset);
    painter.setBackgroundMode(Qt::TransparentMode);
    if (disabled) {
      painter.setPen(pal.color(QPalette::Light));
      painter.drawText(block.translated(1, 1), kTextFlags, text());
      painter.setPen(pal.color(QPalette::Dark));
    } else {
      painter.setPen(text_[state]);
    }
    painter.drawText(block, kTextFlags, text());
  }

  if (focused) FocusRect(painter, r.adjusted(3, 3, -3, -3), text_[kFocused]);
}
