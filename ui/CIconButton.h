// A push button drawn in the classic raised three-dimensional style with a
// 16 x 16 icon, alone (centred) or 3 pixels from the left edge with the
// caption centred in the rest. While pressed it shows a sunken frame and its
// content moves 1 pixel right and down; with the focus, or as the default
// button, it gets a black frame, and with the focus a dotted focus
// rectangle. The palette stands in for the system colours: Button and
// ButtonText for the face and caption, Light, Midlight, Dark and Shadow for
// the edges.
//
// Used for the main window's toolbar and the Filters dialog's buttons; the
// caption comes from setText(), the default from setDefault(). A double
// click counts as two clicks. Window thread only.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPushButton>
#include <QString>

class CIconButton : public QPushButton {
  Q_OBJECT

 public:
  static constexpr int kIconSize = 16;
  // Space between the left edge and the icon when there is a caption.
  static constexpr int kIconMargin = 3;

  explicit CIconButton(QWidget* parent = nullptr);

  // Loads the icon at `resourcePath` (e.g. ":/icons/save_clear.svg") at
  // 16 x 16 and redraws. A path that cannot be read leaves the button
  // without an icon.
  void AssignIcon(const QString& resourcePath);
  bool hasIcon() const { return !icon_.isNull(); }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  enum State { kNormal = 0, kPressed = 1, kFocused = 2 };
  void ResetColours();

  QPixmap icon_;
  // Face and caption colour of each state, the system's button colours.
  QColor background_[3];
  QColor text_[3];
};
