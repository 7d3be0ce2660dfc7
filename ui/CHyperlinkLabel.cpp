#include "ui/CHyperlinkLabel.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMouseEvent>

#include "ui/open_url.h"

CHyperlinkLabel::CHyperlinkLabel(QWidget* parent) : QLabel(parent), opener_(&OpenUrl) {
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  setCursor(Qt::PointingHandCursor);
  setTextFormat(Qt::PlainText);
  setAutoFillBackground(false);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  ApplyColour();
}

void CHyperlinkLabel::SetTarget(const QString& url) {
  url_ = url;
  if (text().isEmpty()) setText(url_);
  setToolTip(url_);
  AdjustToText();
}

void CHyperlinkLabel::MarkVisited(bool visited) {
  visited_ = visited;
  ApplyColour();
}

void CHyperlinkLabel::SetOpener(Opener opener) { opener_ = std::move(opener); }

QString CHyperlinkLabel::target() const { return url_.isEmpty() ? text() : url_; }

QColor CHyperlinkLabel::currentColour() const {
  if (hot_) return palette().color(QPalette::Active, QPalette::Highlight);
  return QColor::fromRgb(visited_ ? kVisitedColour : kLinkColour);
}

void CHyperlinkLabel::ApplyColour() {
  // Changing the palette sends a palette change back to this label; the
  // flag keeps that from resetting anything.
  applyingStyle_ = true;
  QPalette pal = palette();
  const QColor colour = currentColour();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    pal.setColor(group, QPalette::WindowText, colour);
  }
  setPalette(pal);
  applyingStyle_ = false;
  update();
}

QSize CHyperlinkLabel::TextSize() const {
  const QFontMetrics metrics(font());
  const QString shown = text().isEmpty() ? url_ : text();
  return metrics.size(0, shown);
}

QSize CHyperlinkLabel::sizeHint() const {
  const QMargins m = contentsMargins();
  return TextSize().grownBy(m);
}

void CHyperlinkLabel::AdjustToText() {
  if (!adjustToFit_) return;
  const QRect old = geometry();
  const QSize wanted = sizeHint();
  QRect fitted = old;
  const Qt::Alignment align = alignment();

  if (align & Qt::AlignVCenter) {
    fitted.setTop(old.top() + (old.height() - wanted.height()) / 2);
  }
  fitted.setHeight(wanted.height());

  if (align & Qt::AlignHCenter) {
    fitted.setLeft(old.left() + (old.width() - wanted.width()) / 2);
    fitted.setWidth(wanted.width());
  } else if (align & Qt::AlignRight) {
    fitted.setLeft(old.left() + old.width() - wanted.width());
    fitted.setWidth(wanted.width());
  } else {
    fitted.setWidth(wanted.width());
  }
  setGeometry(fitted);
  updateGeometry();
}

void CHyperlinkLabel::enterEvent(QEnterEvent* event) {
  hot_ = true;
  ApplyColour();
  QLabel::enterEvent(event);
}

void CHyperlinkLabel::leaveEvent(QEvent* event) {
  hot_ = false;
  ApplyColour();
  QLabel::leaveEvent(event);
}

void CHyperlinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    event->accept();
    FollowLink();
    return;
  }
  QLabel::mouseReleaseEvent(event);
}

void CHyperlinkLabel::showEvent(QShowEvent* event) {
  if (text().isEmpty() && !url_.isEmpty()) setText(url_);
  if (toolTip().isEmpty()) setToolTip(target());
  AdjustToText();
  QLabel::showEvent(event);
}

void CHyperlinkLabel::changeEvent(QEvent* event) {
  if (!applyingStyle_ && event->type() == QEvent::PaletteChange) {
    // The hover colour follows the system's highlight colour.
    ApplyColour();
  }
  QLabel::changeEvent(event);
}

void CHyperlinkLabel::FollowLink() {
  QString reason;
  const bool opened = opener_ && opener_(target(), &reason);
  if (opened) {
    MarkVisited(true);
  } else {
    MarkVisited(false);
    QApplication::beep();
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Corvane"),
                    QStringLiteral("Unable to open hyperlink:\n\n") + reason, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }
  emit LinkFollowed(opened);
}
