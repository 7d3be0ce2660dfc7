// The About box: its texts, links and layout, and a picture of it
// (about.png in the build folder) for people to look at. Also the
// dialog-unit conversion that every window's layout rests on.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "ui/CAboutDlg.h"
#include "ui/CHyperlinkLabel.h"
#include "ui/dialog_units.h"

namespace {

TEST(AboutDialogTest, ShowsTitleVersionAndBothAddresses) {
  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Corvane"));
  EXPECT_EQ(about.versionLabel()->text(), QStringLiteral("Corvane Version 1.2"));
  EXPECT_EQ(about.supportLabel()->text(), QStringLiteral(CORVANE_SUPPORT_ADDRESS));
  EXPECT_EQ(about.supportLabel()->target(), QStringLiteral("mailto:" CORVANE_SUPPORT_ADDRESS));
  EXPECT_EQ(about.webLabel()->text(), QStringLiteral(CORVANE_WEB_PAGE));
  EXPECT_EQ(about.webLabel()->target(), QStringLiteral(CORVANE_WEB_PAGE));
  EXPECT_EQ(about.webLabel()->toolTip(), QStringLiteral(CORVANE_WEB_PAGE));
  ASSERT_FALSE(about.iconLabel()->pixmap().isNull());
  EXPECT_EQ(about.iconLabel()->pixmap().size(), QSize(32, 32));
}

TEST(AboutDialogTest, IsSizedInDialogUnitsWithEverythingInside) {
  CAboutDlg about;
  const QRect box = DialogRect(&about, 0, 0, 178, 87);
  EXPECT_EQ(about.height(), box.height());
  EXPECT_GE(about.width(), box.width());
  const QRect inside = about.rect();
  for (QWidget* child : {static_cast<QWidget*>(about.iconLabel()), static_cast<QWidget*>(about.versionLabel()),
                         static_cast<QWidget*>(about.supportLabel()), static_cast<QWidget*>(about.webLabel()),
                         static_cast<QWidget*>(about.okButton())}) {
    EXPECT_TRUE(inside.contains(child->geometry())) << child->metaObject()->className();
  }
  // OK at the bottom centre.
  EXPECT_NEAR(about.okButton()->geometry().center().x(), about.width() / 2, 2);
  EXPECT_GT(about.okButton()->y(), about.webLabel()->geometry().bottom());
}

TEST(AboutDialogTest, NamesTheDataFoldersInsideAGrownBox) {
  const corvane::DataFolders folders{"/home/someone/.config/corvane",
                                     "/home/someone/.local/state/corvane/logs",
                                     "/home/someone/.local/state/corvane/history.sqlite"};
  CAboutDlg about(folders);
  ASSERT_NE(about.foldersLabel(), nullptr);
  EXPECT_TRUE(about.foldersLabel()->text().contains(QString::fromStdString(folders.config)));
  EXPECT_TRUE(about.foldersLabel()->text().contains(QString::fromStdString(folders.logs)));
  EXPECT_TRUE(about.foldersLabel()->text().contains(QString::fromStdString(folders.history)));
  const QRect inside = about.rect();
  EXPECT_TRUE(inside.contains(about.foldersLabel()->geometry()));
  EXPECT_TRUE(inside.contains(about.okButton()->geometry()));
  EXPECT_GT(about.foldersLabel()->y(), about.webLabel()->geometry().bottom());
  EXPECT_GT(about.okButton()->y(), about.foldersLabel()->geometry().bottom());
  EXPECT_NEAR(about.okButton()->geometry().center().x(), about.width() / 2, 2);
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  about.grab().save(QDir(QStringLiteral(CORVANE_PICTURE_DIR)).filePath(QStringLiteral("about_folders.png")));
}

TEST(AboutDialogTest, OkClosesTheBoxAccepted) {
  CAboutDlg about;
  about.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
  QTest::mouseClick(about.okButton(), Qt::LeftButton);
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(AboutDialogTest, EachOpeningStartsWithUnvisitedLinks) {
  {
    CAboutDlg first;
    first.webLabel()->SetOpener([](const QString&, QString*) { return true; });
    QTest::mouseClick(first.webLabel(), Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_TRUE(first.webLabel()->visited());
  }
  CAboutDlg second;
  EXPECT_FALSE(second.webLabel()->visited());
  EXPECT_FALSE(second.supportLabel()->visited());
}

TEST(DialogUnitsTest, ConversionFollowsTheFontAndKeepsEdgesTogether) {
  QWidget widget;
  QFont font = widget.font();
  font.setPixelSize(13);
  widget.setFont(font);
  const DialogBaseUnits units = MeasureDialogBaseUnits(widget.font());
  ASSERT_GT(units.averageCharWidth, 0);
  ASSERT_GT(units.charHeight, 0);
  EXPECT_EQ(DialogUnitsX(&widget, 4), units.averageCharWidth);
  EXPECT_EQ(DialogUnitsY(&widget, 8), units.charHeight);
  EXPECT_EQ(DialogUnitsX(&widget, 0), 0);
  // Two rectangles that touch in dialog units touch in pixels.
  const QRect left = DialogRect(&widget, 7, 7, 21, 21);
  const QRect right = DialogRect(&widget, 28, 7, 21, 21);
  EXPECT_EQ(left.x() + left.width(), right.x());
  // A bigger font gives a bigger rectangle.
  font.setPixelSize(26);
  widget.setFont(font);
  EXPECT_GT(DialogRect(&widget, 7, 7, 21, 21).width(), left.width());
}

}  // namespace
