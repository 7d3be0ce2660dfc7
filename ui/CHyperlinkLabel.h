// A text that looks and acts like a web link: underlined, blue until it has
// been followed and purple afterwards, in the highlight colour while the
// pointer is over it, with a hand cursor and a tooltip naming its target. A
// click opens the target with the desktop; when that fails the user is told
// why ("Unable to open hyperlink: ...") and the label is blue again.
//
// The label sizes itself to its text, keeping the edge its alignment names
// (left, right, or the centre). Without a target the label's text is the
// target; without a text it shows the target. Window thread only.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>
#include <functional>

class CHyperlinkLabel : public QLabel {
  Q_OBJECT

 public:
  static constexpr QRgb kLinkColour = 0xff0000ee;     // RGB(0, 0, 238)
  static constexpr QRgb kVisitedColour = 0xff551a8b;  // RGB(85, 26, 139)

  // Opens a URL; on failure returns false with the reason text.
  using Opener = std::function<bool(const QString& url, QString* reasonText)>;

  explicit CHyperlinkLabel(QWidget* parent = nullptr);

  // Sets the target, sizes the label to its text (showing the target when
  // the label has no text) and makes the target the tooltip.
  void SetTarget(const QString& url);
  // Sets or clears the visited state and redraws.
  void MarkVisited(bool visited);
  // Resizes the label to its text as described above.
  void AdjustToText();
  // Replaces how links are opened (OpenUrl by default), for tests.
  void SetOpener(Opener opener);

  // The target: the one set, else the label's text.
  QString target() const;
  bool visited() const { return visited_; }
  bool hot() const { return hot_; }
  // The colour the text is drawn in now.
  QColor currentColour() const;

  QSize sizeHint() const override;

 signals:
  // After every click: whether the target could be opened.
  void LinkFollowed(bool opened);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void FollowLink();
  void ApplyColour();
  QSize TextSize() const;

  QString url_;
  bool hot_ = false;
  bool visited_ = false;
  bool adjustToFit_ = true;
  bool applyingStyle_ = false;
  Opener opener_;
};
