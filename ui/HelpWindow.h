// The program's help window: the user's guide "cvhelp.html" from beside the
// executable, shown in a QTextBrowser. When that file is missing the copy
// compiled into the program is shown, so help never comes up empty. Links to
// other pages of the guide stay inside the window; web and mail links open
// through the desktop. Window thread only.
#pragma once

#include <QDialog>

class QTextBrowser;

class HelpWindow : public QDialog {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);

  // Shows `path`, or the built-in guide when `path` cannot be read, and
  // brings the window to the front.
  void ShowHelp(const QString& path);

  QTextBrowser* browser() const { return browser_; }

 private:
  QTextBrowser* browser_ = nullptr;
};
