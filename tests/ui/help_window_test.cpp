// The help window follows only links into its own guide, and web and mail
// links through the desktop: a page cannot open a local file.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTextBrowser>
#include <QUrl>

#include <fstream>

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

}  // namespace
