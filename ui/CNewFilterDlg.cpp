#include "ui/CNewFilterDlg.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <limits>

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

  // The layout in dialog units: 293 x 222, the explanation from top to
  // bottom, the two boxes centred below it, OK and Cancel at the bottom.
  AddText(QStringLiteral("Please input the new connection filter rules"), 7, 7, 279, 10, true)
      ->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  AddText(QStringLiteral("Filter matches the connection if:"), 7, 22, 279, 8, false);
  AddText(QStringLiteral("\u2014 connection remote address or host name contains the string you "
                         "specify for \"Remote host\" rule"),
          14, 32, 272, 16, false);
  AddText(QStringLiteral("AND"), 7, 50, 279, 8, false);
  AddText(QStringLiteral("\u2014 Local source (the executable name and process id of the program "
                         "that makes the connection, such as \"firefox-esr:2817\") contains the "
                         "string you specify for \"Local source\" rule"),
          14, 60, 272, 16, false);
  AddText(QStringLiteral("Leaving a rule blank means \"always match\" (because empty string is "
                         "contained in any string). Leaving both rules blank therefore means "
                         "\"match all connections\"."),
          7, 80, 279, 16, false);
  AddText(QStringLiteral("Examples:"), 7, 102, 279, 8, true);
  AddText(QStringLiteral("Remote Host : \"10.1.1\", Local Source: \"firefox-esr\". This filter "
                         "matches Firefox (/usr/bin/firefox-esr, whose processes are named "
                         "firefox-esr) connecting to 10.1.1.3 or to 192.10.1.1;"),
          7, 112, 279, 24, false);
  AddText(QStringLiteral("does not match Chromium connecting to any of these addresses and does not "
                         "match Firefox connecting to 192.168.10.1."),
          7, 138, 279, 16, false);

  // The two boxes: labels in the default colour, boxes without a length
  // limit that scroll sideways.
  remoteHostLabel_ = new QLabel(QStringLiteral("Remote host:"), this);
  remoteHostLabel_->setTextFormat(Qt::PlainText);
  remoteHostLabel_->setGeometry(DialogRect(this, 73, 164, 50, 8));
  remoteHostEdit_ = new QLineEdit(this);
  remoteHostEdit_->setGeometry(DialogRect(this, 125, 162, 86, 12));
  remoteHostLabel_->setBuddy(remoteHostEdit_);

  localSourceLabel_ = new QLabel(QStringLiteral("Local source:"), this);
  localSourceLabel_->setTextFormat(Qt::PlainText);
  localSourceLabel_->setGeometry(DialogRect(this, 73, 181, 50, 8));
  localSourceEdit_ = new QLineEdit(this);
  localSourceEdit_->setGeometry(DialogRect(this, 125, 179, 86, 12));
  localSourceLabel_->setBuddy(localSourceEdit_);

  for (QLineEdit* edit : {remoteHostEdit_, localSourceEdit_}) {
    edit->setMaxLength(std::numeric_limits<int>::max());
    Colour(edit);
  }

  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setGeometry(DialogRect(this, 7, 201, 50, 14));
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancelButton_->setGeometry(DialogRect(this, 236, 201, 50, 14));
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  setTabOrder(remoteHostEdit_, localSourceEdit_);
  setTabOrder(localSourceEdit_, okButton_);
  setTabOrder(okButton_, cancelButton_);
  remoteHostEdit_->setFocus();

  setFixedSize(DialogRect(this, 0, 0, 293, 222).size());
}

QLabel* CNewFilterDlg::AddText(const QString& text, int x, int y, int w, int h, bool bold) {
  auto* label = new QLabel(text, this);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (bold) {
    QFont font = this->font();
    font.setWeight(QFont::Bold);
    label->setFont(font);
  }
  label->setGeometry(DialogRect(this, x, y, w, h));
  Colour(label);
  return label;
}

void CNewFilterDlg::SetRule(const QString& remoteHost, const QString& localSource) {
  remoteHostEdit_->setText(remoteHost);
  localSourceEdit_->setText(localSource);
}

QString CNewFilterDlg::remoteHostRule() const { return remoteHostEdit_->text(); }

QString CNewFilterDlg::localSourceRule() const { return localSourceEdit_->text(); }
