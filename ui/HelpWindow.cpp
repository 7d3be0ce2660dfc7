#include "ui/HelpWindow.h"

#include <QDesktopServices>
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
  // Links are followed here, not by the browser: it would open any local
  // file a page names.
  browser_->setOpenLinks(false);
  connect(browser_, &QTextBrowser::anchorClicked, this, &HelpWindow::FollowLink);
  layout->addWidget(browser_);
  resize(760, 600);
}

bool HelpWindow::FollowLink(const QUrl& link) {
  const QUrl url = browser_->source().resolved(link);
  const QString scheme = url.scheme();
  if (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
      scheme == QLatin1String("mailto")) {
    return QDesktopServices::openUrl(url);
  }
  QUrl page = url;
  page.setFragment(QString());
  QUrl shown = browser_->source();
  shown.setFragment(QString());
  if (page != shown || !url.hasFragment()) return false;
  browser_->scrollToAnchor(url.fragment());
  return true;
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
