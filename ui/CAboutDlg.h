// The About box: the program icon, "Corvane Version 1.2" and two links, the
// support mail address and the maker's web page. The addresses are build
// settings (CORVANE_SUPPORT_ADDRESS, CORVANE_WEB_PAGE). Run modally by its
// caller; window thread only. Given the data folders, it also names them
// below the links and grows to fit them.
#pragma once

#include <QDialog>

#include "platform/data_folders.h"

class CHyperlinkLabel;
class QLabel;
class QPushButton;

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  CAboutDlg(const corvane::DataFolders& folders, QWidget* parent = nullptr);

  CHyperlinkLabel* supportLabel() const { return supportLabel_; }
  CHyperlinkLabel* webLabel() const { return webLabel_; }
  QLabel* versionLabel() const { return versionLabel_; }
  QLabel* iconLabel() const { return iconLabel_; }
  QPushButton* okButton() const { return okButton_; }
  QLabel* foldersLabel() const { return foldersLabel_; }

 private:
  QLabel* iconLabel_ = nullptr;
  QLabel* versionLabel_ = nullptr;
  CHyperlinkLabel* supportLabel_ = nullptr;
  CHyperlinkLabel* webLabel_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QLabel* foldersLabel_ = nullptr;
};
