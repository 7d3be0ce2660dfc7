#include "ui/CAboutDlg.h"

#include <QIcon>
#include <algorithm>
#include <QLabel>
#include <QPushButton>

#include "ui/CHyperlinkLabel.h"
#include "ui/dialog_units.h"
#include "ui/svg_icon.h"

namespace {
constexpr const char* kProgramIcon = ":/icons/corvane.svg";
}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Corvane"));
  setWindowIcon(QIcon(LoadIconPixmap(QString::fromLatin1(kProgramIcon), QSize(32, 32))));

  // The layout in dialog units: 178 x 87, icon at the top left, the texts
  // beside it, OK at the bottom centre.
  iconLabel_ = new QLabel(this);
  iconLabel_->setGeometry(DialogRect(this, 11, 10, 21, 20));
  iconLabel_->setAlignment(Qt::AlignCenter);
  iconLabel_->setPixmap(LoadIconPixmap(QString::fromLatin1(kProgramIcon), QSize(32, 32), devicePixelRatioF()));

  versionLabel_ = new QLabel(QStringLiteral("Corvane Version " CORVANE_VERSION), this);
  versionLabel_->setGeometry(DialogRect(this, 42, 12, 125, 8));

  // The labels start at the width of the dialog's text column and then fit
  // themselves to their addresses, keeping their left edge.
  supportLabel_ = new CHyperlinkLabel(this);
  supportLabel_->setObjectName(QStringLiteral("supportLabel"));
  supportLabel_->setGeometry(DialogRect(this, 42, 28, 125, 8));
  supportLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  supportLabel_->setText(QStringLiteral(CORVANE_SUPPORT_ADDRESS));
  supportLabel_->SetTarget(QStringLiteral("mailto:" CORVANE_SUPPORT_ADDRESS));

  webLabel_ = new CHyperlinkLabel(this);
  webLabel_->setObjectName(QStringLiteral("webLabel"));
  webLabel_->setGeometry(DialogRect(this, 42, 42, 125, 8));
  webLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  webLabel_->setText(QStringLiteral(CORVANE_WEB_PAGE));
  webLabel_->SetTarget(QStringLiteral(CORVANE_WEB_PAGE));

  okButton_ = new QPushButton(QStringLiteral("OK"), this);
  okButton_->setGeometry(DialogRect(this, 64, 66, 50, 14));
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

  const QRect box = DialogRect(this, 0, 0, 178, 87);
  // A long address from the build settings widens the box rather than
  // running off its edge.
  const int needed = std::max(supportLabel_->geometry().right(), webLabel_->geometry().right()) +
                     DialogUnitsX(this, 11);
  const int width = std::max(box.width(), needed);
  if (width > box.width()) {
    okButton_->move((width - okButton_->width()) / 2, okButton_->y());
  }
  setFixedSize(width, box.height());
}

CAboutDlg::CAboutDlg(const corvane::DataFolders& folders, QWidget* parent) : CAboutDlg(parent) {
  foldersLabel_ = new QLabel(this);
  foldersLabel_->setObjectName(QStringLiteral("foldersLabel"));
  // Folder names are the user's own text, never markup.
  foldersLabel_->setTextFormat(Qt::PlainText);
  foldersLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  foldersLabel_->setText((folders.config == folders.logs
                              ? QStringLiteral("Data folder: %1")
                                    .arg(QString::fromStdString(folders.config))
                              : QStringLiteral("Settings: %1\nLogs: %2")
                                    .arg(QString::fromStdString(folders.config),
                                         QString::fromStdString(folders.logs))) +
                         QStringLiteral("\nHistory: %1").arg(QString::fromStdString(folders.history)));
  const int left = DialogUnitsX(this, 11);
  const int top = okButton_->y();
  foldersLabel_->move(left, top);
  foldersLabel_->adjustSize();
  // The folders sit where OK was; OK moves below them.
  const int gap = DialogUnitsY(this, 7);
  const int width = std::max(this->width(), foldersLabel_->geometry().right() + left);
  okButton_->move((width - okButton_->width()) / 2, foldersLabel_->geometry().bottom() + gap);
  setFixedSize(width, okButton_->geometry().bottom() + gap);
}
