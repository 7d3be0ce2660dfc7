// The help window follows only links into its own guide, and web and mail
// links through the desktop: a page cannot open a local file. The guide
// itself tells no one to give the window a capability, and names every
// shortcut the window has.
#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QKeySequence>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>

#include <fstream>

#include "support/test_env.h"
#include "platform/clock.h"
#include "ui/CMainDlg.h"
#include "window_on_session.h"
#include "ui/HelpWindow.h"

namespace {

TEST(HelpWindowTest, LocalFilesAndOtherPagesAreNotOpenedPlacesInTheGuideAre) {
  QTemporaryDir dir;
  const QString guide = dir.filePath(QStringLiteral("cvhelp.html"));
  std::ofstream(guide.toStdString())
      << "<a href=\"#end\">end</a><a href=\"secret.txt\">x</a><p><a name=\"end\">End</a></p>";
  std::ofstream(dir.filePath(QStringLiteral("secret.txt")).toStdString()) << "secret";
  HelpWindow window;
  window.ShowHelp(guide);
  const QUrl shown = window.browser()->source();
  EXPECT_FALSE(window.FollowLink(QUrl(QStringLiteral("file:///etc/passwd"))));
  EXPECT_FALSE(window.FollowLink(QUrl(QStringLiteral("secret.txt"))));
  EXPECT_EQ(window.browser()->source(), shown);
  EXPECT_FALSE(window.browser()->toPlainText().contains(QStringLiteral("secret")));
  EXPECT_TRUE(window.FollowLink(QUrl(QStringLiteral("#end"))));
  window.close();
}

// The guide compiled into the program (the same file is installed).
QString GuideText() {
  QFile file(QStringLiteral(":/help/cvhelp.html"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  QTextDocument page;
  page.setHtml(QString::fromUtf8(file.readAll()));
  return page.toPlainText();
}

TEST(HelpWindowTest, GuideNamesNoCapabilityCommandAndEveryShortcutOfTheWindow) {
  const QString guide = GuideText();
  ASSERT_FALSE(guide.isEmpty());
  const QRegularExpression capability(QStringLiteral("setcap|cap_[a-z_]+|\\+ep\\b"),
                                      QRegularExpression::CaseInsensitiveOption);
  EXPECT_FALSE(guide.contains(capability)) << guide.toStdString();

  QTemporaryDir dir;
  window_test::WindowOnSession onSession(dir.path().toStdString());
  CMainDlg& window = onSession.window;
  QStringList keys;
  for (const QAction* action : window.findChildren<QAction*>()) {
    for (const QKeySequence& shortcut : action->shortcuts()) {
      keys << shortcut.toString(QKeySequence::PortableText);
    }
  }
  keys.removeDuplicates();
  EXPECT_GE(keys.size(), 5) << keys.join(QLatin1Char(' ')).toStdString();
  for (const QString& key : keys) {
    EXPECT_TRUE(guide.contains(key)) << "the guide does not name " << key.toStdString();
  }
}

}  // namespace
