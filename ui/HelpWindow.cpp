#include "ui/HelpWindow.h"

#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace {
const QString kBuiltInGuide = QStringLiteral(":/help/cvhelp.html");
}

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Corvane Help"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  browser_ = new QTextBrowser(this);
  browser_->setOpenExternalLinks(true);
  layout->addWidget(browser_);
  resize(760, 600);
}

void HelpWindow::ShowHelp(const QString& path) {
  QFileInfo file(path);
  if (file.isFile() && file.isReadable()) {
    browser_->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  } else if (QFileInfo::exists(kBuiltInGuide)) {
    browser_->setSource(QUrl(QStringLiteral("qrc") + kBuiltInGuide));
  } else {
    browser_->setHtml(QStringLiteral("<p>The user's guide %1 cannot be read.</p>")
                          .arg(path.toHtmlEscaped()));
  }
  show();
  raise();
  activateWindow();
}
