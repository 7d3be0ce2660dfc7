#include "ui/CNewFilterDlg.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <algorithm>
#include <limits>
#include <utility>

#include "ui/dialog_units.h"

namespace {

// The colour of every text and box of the dialog but the two box labels.
const QColor kTextColour(50, 0, 225);

void Colour(QWidget* widget) {
  QPalette palette = widget->palette();
  const QColor colour = CaptionColour(widget, kTextColour);
  palette.setColor(QPalette::WindowText, colour);
  // The boxes keep the theme's text colour on a dark base.
  if (colour == kTextColour) palette.setColor(QPalette::Text, colour);
  widget->setPalette(palette);
}

}  // namespace

CNewFilterDlg::CNewFilterDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("New filter"));

  // 293 dialog units wide: the explanation from top to bottom, each text as
  // tall as it needs in the font at hand (so none is cut, at any scale),
  // the two boxes centred below it, OK and Cancel at the bottom.
  int y = DialogUnitsY(this, 7);
  auto text = [&](const QString& words, int x, int gapAfter, bool bold) {
    QLabel* label = AddText(words, x, y, 286 - x, bold);
    y = label->geometry().bottom() + 1 + DialogUnitsY(this, gapAfter);
    return label;
  };
  text(QStringLiteral("Enter the rules of the new filter"), 7, 5, true)
      ->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  text(QStringLiteral("The filter matches a connection when both hold:"), 7, 2, false);
  text(QStringLiteral("\u2014 its remote address or host name contains the text you enter as "
                      "\"Remote host\""),
       14, 2, false);
  text(QStringLiteral("AND"), 7, 2, false);
  text(QStringLiteral("\u2014 its local source (the executable name and process id of the program "
                      "that makes the connection, such as \"firefox-esr:2817\") contains the "
                      "text you enter as \"Local source\"."),
       14, 4, false);
  text(QStringLiteral("A blank rule always matches (every text contains the empty text), so "
                      "leaving both blank matches every connection."),
       7, 6, false);
  text(QStringLiteral("Examples:"), 7, 2, true);
  text(QStringLiteral("Remote host \"10.1.1\", local source \"firefox-esr\": this filter "
                      "matches Firefox (/usr/bin/firefox-esr, whose processes are named "
                      "firefox-esr) connecting to 10.1.1.3 or to 192.10.1.1;"),
       7, 2, false);
  text(QStringLiteral("it does not match Chromium connecting to any of these addresses, nor "
                      "Firefox connecting to 192.168.10.1."),
       7, 8, false);

  // The two boxes: labels in the default colour, boxes without a length
  // limit that scroll sideways.
  remoteHostLabel_ = new QLabel(QStringLiteral("&Remote host:"), this);
  remoteHostLabel_->setTextFormat(Qt::PlainText);
  remoteHostEdit_ = new QLineEdit(this);
  remoteHostLabel_->setBuddy(remoteHostEdit_);
  localSourceLabel_ = new QLabel(QStringLiteral("&Local source:"), this);
  localSourceLabel_->setTextFormat(Qt::PlainText);
  localSourceEdit_ = new QLineEdit(this);
  localSourceLabel_->setBuddy(localSourceEdit_);
  const int labelWidth = std::max({DialogUnitsX(this, 50), remoteHostLabel_->sizeHint().width(),
                                   localSourceLabel_->sizeHint().width()});
  const int editLeft = DialogUnitsX(this, 73) + labelWidth + DialogUnitsX(this, 2);
  for (auto [label, edit] : {std::pair{remoteHostLabel_, remoteHostEdit_},
                             std::pair{localSourceLabel_, localSourceEdit_}}) {
    const int rowHeight = std::max(DialogUnitsY(this, 12), edit->sizeHint().height());
    label->setGeometry(DialogUnitsX(this, 73), y, labelWidth, rowHeight);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    edit->setGeometry(editLeft, y, DialogUnitsX(this, 86), rowHeight);
    y += rowHeight + DialogUnitsY(this, 5);
  }

  for (QLineEdit* edit : {remoteHostEdit_, localSourceEdit_}) {
    edit->setMaxLength(std::numeric_limits<int>::max());
    Colour(edit);
  }

  y += DialogUnitsY(this, 3);
  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setGeometry(DialogRect(this, 7, 0, 50, 14).translated(0, y));
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancelButton_->setGeometry(DialogRect(this, 236, 0, 50, 14).translated(0, y));
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  setTabOrder(remoteHostEdit_, localSourceEdit_);
  setTabOrder(localSourceEdit_, okButton_);
  setTabOrder(okButton_, cancelButton_);
  remoteHostEdit_->setFocus();

  setFixedSize(DialogUnitsX(this, 293), okButton_->geometry().bottom() + 1 + DialogUnitsY(this, 7));
}

QLabel* CNewFilterDlg::AddText(const QString& text, int x, int top, int w, bool bold) {
  auto* label = new QLabel(text, this);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (bold) {
    QFont font = this->font();
    font.setWeight(QFont::Bold);
    label->setFont(font);
  }
  const int width = DialogUnitsX(this, w);
  label->setGeometry(DialogUnitsX(this, x), top, width, label->heightForWidth(width));
  Colour(label);
  return label;
}

void CNewFilterDlg::SetRule(const QString& remoteHost, const QString& localSource) {
  remoteHostEdit_->setText(remoteHost);
  localSourceEdit_->setText(localSource);
}

QString CNewFilterDlg::remoteHostRule() const { return remoteHostEdit_->text(); }

QString CNewFilterDlg::localSourceRule() const { return localSourceEdit_->text(); }
