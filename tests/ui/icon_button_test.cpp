// The icon button as pixels (raised edge, pressed, focused, default, icon
// and caption placement) and as a button (double click, click focus).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QMouseEvent>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "ui/CIconButton.h"

namespace {

constexpr QRgb kFace = 0xffc0c0c0;
constexpr QRgb kLight = 0xffffffff;
constexpr QRgb kMidlight = 0xffe0e0e0;
constexpr QRgb kDark = 0xff808080;
constexpr QRgb kShadow = 0xff404040;
constexpr QRgb kText = 0xffff00ff;  // a caption colour no icon uses
constexpr QRgb kBlack = 0xff000000;

QPalette ClassicPalette() {
  QPalette pal;
  pal.setColor(QPalette::Button, QColor::fromRgb(kFace));
  pal.setColor(QPalette::Light, QColor::fromRgb(kLight));
  pal.setColor(QPalette::Midlight, QColor::fromRgb(kMidlight));
  pal.setColor(QPalette::Dark, QColor::fromRgb(kDark));
  pal.setColor(QPalette::Shadow, QColor::fromRgb(kShadow));
  pal.setColor(QPalette::ButtonText, QColor::fromRgb(kText));
  return pal;
}

class IconButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.setPalette(ClassicPalette());
    window_.resize(200, 100);
    button_ = new CIconButton(&window_);
    button_->setGeometry(10, 10, 32, 32);
    button_->AssignIcon(QStringLiteral(":/icons/save_clear.svg"));
    other_ = new CIconButton(&window_);
    other_->setGeometry(50, 10, 32, 32);
    window_.show();
    window_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
    other_->setFocus(Qt::OtherFocusReason);
  }

  QImage Picture(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }

  // The 16 x 16 block at (x, y).
  static QImage Block(const QImage& image, int x, int y) { return image.copy(x, y, 16, 16); }

  QWidget window_;
  CIconButton* button_ = nullptr;
  CIconButton* other_ = nullptr;
};

TEST_F(IconButtonTest, ResourceIconsLoad) {
  EXPECT_TRUE(button_->hasIcon());
  for (const char* path : {":/icons/show_log.svg", ":/icons/delete_logs.svg", ":/icons/options.svg",
                           ":/icons/help.svg", ":/icons/add_filter.svg", ":/icons/remove_filter.svg",
                           ":/icons/clear_filters.svg"}) {
    CIconButton probe;
    probe.AssignIcon(QString::fromLatin1(path));
    EXPECT_TRUE(probe.hasIcon()) << path;
  }
}

TEST_F(IconButtonTest, UnreadableIconLeavesFrameOnly) {
  CIconButton broken(&window_);
  broken.setGeometry(100, 10, 32, 32);
  broken.AssignIcon(QStringLiteral(":/icons/no_such_icon.svg"));
  EXPECT_FALSE(broken.hasIcon());
  const QImage image = Picture(&broken);
  // Inside the edges everything is button face.
  for (int y = 3; y < 29; ++y) {
    for (int x = 3; x < 29; ++x) ASSERT_EQ(image.pixel(x, y), kFace) << x << "," << y;
  }
}

TEST_F(IconButtonTest, RaisedEdgeWhenIdle) {
  const QImage image = Picture(button_);
  EXPECT_EQ(image.pixel(0, 0), kLight);       // highlight: left and top
  EXPECT_EQ(image.pixel(0, 30), kLight);
  EXPECT_EQ(image.pixel(30, 0), kLight);
  EXPECT_EQ(image.pixel(1, 1), kMidlight);    // 3-D light inside it
  EXPECT_EQ(image.pixel(1, 29), kMidlight);
  EXPECT_EQ(image.pixel(29, 1), kMidlight);
  EXPECT_EQ(image.pixel(0, 31), kShadow);     // dark shadow: bottom and right
  EXPECT_EQ(image.pixel(31, 0), kShadow);
  EXPECT_EQ(image.pixel(31, 31), kShadow);
  EXPECT_EQ(image.pixel(1, 30), kDark);       // button shadow inside it
  EXPECT_EQ(image.pixel(30, 1), kDark);
  EXPECT_EQ(image.pixel(30, 30), kDark);
  EXPECT_EQ(image.pixel(2, 2), kFace);
  EXPECT_EQ(image.pixel(4, 4), kFace);        // no focus rectangle
}

TEST_F(IconButtonTest, PressedShowsSunkenFrameAndMovesIconByOnePixel) {
  const QImage idle = Picture(button_);
  QTest::mousePress(button_, Qt::LeftButton, {}, QPoint(16, 16));
  ASSERT_TRUE(button_->isDown());
  const QImage pressed = Picture(button_);
  QTest::mouseRelease(button_, Qt::LeftButton, {}, QPoint(16, 16));

  // The press gave the button the focus: black frame, then the shadow frame.
  EXPECT_EQ(pressed.pixel(0, 0), kBlack);
  EXPECT_EQ(pressed.pixel(31, 31), kBlack);
  EXPECT_EQ(pressed.pixel(1, 1), kDark);
  EXPECT_EQ(pressed.pixel(30, 1), kDark);
  EXPECT_EQ(pressed.pixel(1, 30), kDark);
  EXPECT_EQ(pressed.pixel(30, 30), kDark);
  EXPECT_EQ(pressed.pixel(2, 2), kFace);
  // The icon, centred at (8, 8) while idle, stands at (9, 9).
  EXPECT_EQ(Block(pressed, 9, 9), Block(idle, 8, 8));
  EXPECT_NE(Block(pressed, 8, 8), Block(idle, 8, 8));

  // Released: the raised edge is back.
  const QImage released = Picture(button_);
  EXPECT_EQ(released.pixel(1, 1), kLight);
  EXPECT_EQ(released.pixel(2, 2), kMidlight);
  EXPECT_EQ(Block(released, 8, 8), Block(idle, 8, 8));
}

TEST_F(IconButtonTest, FocusGivesBlackFrameAndDottedRectangleFourPixelsInside) {
  button_->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(button_->hasFocus());
  const QImage image = Picture(button_);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(image.pixel(i, 0), kBlack);
    EXPECT_EQ(image.pixel(i, 31), kBlack);
    EXPECT_EQ(image.pixel(0, i), kBlack);
    EXPECT_EQ(image.pixel(31, i), kBlack);
  }
  // The raised edge moves one pixel in.
  EXPECT_EQ(image.pixel(1, 1), kLight);
  EXPECT_EQ(image.pixel(30, 30), kShadow);
  // Dotted: every other pixel of the rectangle from (4, 4) to (27, 27).
  EXPECT_EQ(image.pixel(4, 4), kText);
  EXPECT_EQ(image.pixel(5, 4), kFace);
  EXPECT_EQ(image.pixel(6, 4), kText);
  EXPECT_EQ(image.pixel(4, 6), kText);
  EXPECT_EQ(image.pixel(4, 5), kFace);
  EXPECT_EQ(image.pixel(4, 27), kText);
  EXPECT_EQ(image.pixel(27, 4), kText);
  EXPECT_EQ(image.pixel(26, 27), kText);
  EXPECT_EQ(image.pixel(3, 3), kFace);
  EXPECT_EQ(image.pixel(5, 5), kFace);
}

TEST_F(IconButtonTest, DefaultButtonHasBlackFrameWithoutFocusRectangle) {
  button_->setDefault(true);
  const QImage image = Picture(button_);
  EXPECT_EQ(image.pixel(0, 0), kBlack);
  EXPECT_EQ(image.pixel(31, 31), kBlack);
  EXPECT_EQ(image.pixel(1, 1), kLight);
  EXPECT_EQ(image.pixel(4, 4), kFace);
}

TEST_F(IconButtonTest, CaptionButtonPutsIconThreePixelsInAndCentresCaptionInTheRest) {
  CIconButton filter(&window_);
  filter.setPalette(ClassicPalette());
  filter.setGeometry(10, 50, 120, 28);
  filter.setText(QStringLiteral("Add filter..."));
  filter.AssignIcon(QStringLiteral(":/icons/add_filter.svg"));
  const QImage image = Picture(&filter);

  // The icon occupies x = 3 .. 18, centred vertically (y = 6 .. 21).
  int iconPixels = 0;
  for (int y = 6; y < 22; ++y) {
    for (int x = 3; x < 19; ++x) iconPixels += image.pixel(x, y) != kFace;
  }
  EXPECT_GT(iconPixels, 40);
  for (int y = 3; y < 25; ++y) EXPECT_EQ(image.pixel(2, y), kFace) << y;

  // Caption pixels: right of the icon, centred in x = 19 .. 119.
  int left = 1000, right = -1, top = 1000, bottom = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) != kText) continue;
      left = std::min(left, x), right = std::max(right, x);
      top = std::min(top, y), bottom = std::max(bottom, y);
    }
  }
  ASSERT_GE(right, 0) << "caption not drawn";
  EXPECT_GT(left, 19);
  EXPECT_NEAR((left + right) / 2.0, (19 + 119) / 2.0, 3.0);
  EXPECT_NEAR((top + bottom) / 2.0, 13.5, 3.0);
}

TEST_F(IconButtonTest, DoubleClickRunsTheCommandTwice) {
  QSignalSpy clicks(button_, &QAbstractButton::clicked);
  const QPointF at(16, 16);
  const QPointF global = button_->mapToGlobal(at);
  auto send = [&](QEvent::Type type, Qt::MouseButtons buttons) {
    QMouseEvent event(type, at, global, Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(button_, &event);
  };
  send(QEvent::MouseButtonPress, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::NoButton);
  send(QEvent::MouseButtonDblClick, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, Qt::NoButton);
  EXPECT_EQ(clicks.count(), 2);
}

TEST_F(IconButtonTest, ClickTakesTheFocus) {
  ASSERT_TRUE(other_->hasFocus());
  QTest::mouseClick(button_, Qt::LeftButton, {}, QPoint(16, 16));
  EXPECT_TRUE(button_->hasFocus());
}

TEST_F(IconButtonTest, DisablingMovesTheFocusOn) {
  button_->setFocus(Qt::TabFocusReason);
  button_->setEnabled(false);
  EXPECT_FALSE(button_->hasFocus());
  EXPECT_TRUE(other_->hasFocus());
}

TEST_F(IconButtonTest, FocusedButtonInADialogTakesEnter) {
  QDialog dialog;
  auto* first = new CIconButton(&dialog);
  auto* second = new CIconButton(&dialog);
  first->setGeometry(0, 0, 32, 32);
  second->setGeometry(40, 0, 32, 32);
  QSignalSpy secondClicks(second, &QAbstractButton::clicked);
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  second->setFocus(Qt::TabFocusReason);
  EXPECT_TRUE(second->isDefault());
  EXPECT_FALSE(first->isDefault());
  QTest::keyClick(&dialog, Qt::Key_Return);
  EXPECT_EQ(secondClicks.count(), 1);
}

}  // namespace
