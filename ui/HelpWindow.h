// The program's help window: the user's guide "cvhelp.html" from beside the
// executable, shown in a QTextBrowser. When that file is missing the copy
// compiled into the program is shown, so help never comes up empty. Links to
// places in the guide stay inside the window; web and mail links open
// through the desktop; links to anything else (local files, other pages)
// are not followed. Window thread only.
#pragma once

#include <QDialog>

class QTextBrowser;
class QUrl;

class HelpWindow : public QDialog {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);

  // Shows `path`, or the built-in guide when `path` cannot be read, and
  // brings the window to the front.
  void ShowHelp(const QString& path);

  QTextBrowser* browser() const { return browser_; }

  // What a click on `link` does: scrolls to a place in the shown guide, or
  // opens a web or mail address through the desktop. False when the link
  // is not followed.
  bool FollowLink(const QUrl& link);

 private:
  QTextBrowser* browser_ = nullptr;
};
