// The "New filter" dialog: asks for the two texts of one filter rule and
// explains how rules match.
//
// Run modally by the Filters dialog's "Add filter..." button. Both boxes
// start empty and take any length; on OK the texts are handed back exactly
// as typed (not trimmed, possibly empty), and the Filters dialog turns an
// empty one into "<ANY>". There is no validation. Window thread only.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

class CNewFilterDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CNewFilterDlg(QWidget* parent = nullptr);

  // The texts as typed (valid after OK; before, what the boxes hold).
  // Fills the two boxes (editing a rule).
  void SetRule(const QString& remoteHost, const QString& localSource);
  QString remoteHostRule() const;
  QString localSourceRule() const;

  // --- parts, for tests ---
  QLineEdit* remoteHostEdit() const { return remoteHostEdit_; }
  QLineEdit* localSourceEdit() const { return localSourceEdit_; }
  QLabel* remoteHostLabel() const { return remoteHostLabel_; }
  QLabel* localSourceLabel() const { return localSourceLabel_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

 private:
  // A wrapped text at `x` (dialog units) and `top` (pixels), `w` dialog
  // units wide and as tall as its words need.
  QLabel* AddText(const QString& text, int x, int top, int w, bool bold);

  QLineEdit* remoteHostEdit_ = nullptr;
  QLineEdit* localSourceEdit_ = nullptr;
  QLabel* remoteHostLabel_ = nullptr;
  QLabel* localSourceLabel_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};
