// The "Filters" dialog: edits the filter file (filters.dat).
//
// Opened by the Options dialog's "Setup filters..." button. It starts from
// the file, not from the rules the monitor holds: the mode goes into the two
// radio buttons, every rule read goes to the top of the list, so the list
// shows the file's rules bottom-up and a confirmed dialog writes them back
// reversed (the order never changes what is hidden). OK writes the file
// through WriteFilterFile, from the list top to bottom; when that fails it
// shows "Can't write to <path>" and still closes, the file keeping what it
// held. Cancel writes nothing. A rule is edited by double-clicking it; a
// rule with both texts blank is taken only after the user confirms it. The
// Options dialog hands a confirmed file to the monitor at once.
//
// Window thread only.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <optional>
#include <string>
#include <vector>

#include "filters/filter_set.h"

class CIconButton;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

class CFiltersDlg : public QDialog {
  Q_OBJECT

 public:
  // `filterFile` is the full path of filters.dat.
  explicit CFiltersDlg(std::string filterFile, QWidget* parent = nullptr);

  // The mode of the radio buttons and the rows top to bottom, as OK writes
  // them.
  corvane::FilterMode mode() const;
  std::vector<corvane::FilterRule> rows() const;

  // --- parts, for tests ---
  QRadioButton* blackListButton() const { return blackList_; }
  QRadioButton* whiteListButton() const { return whiteList_; }
  QTreeWidget* ruleList() const { return list_; }
  CIconButton* addButton() const { return addButton_; }
  CIconButton* removeButton() const { return removeButton_; }
  CIconButton* clearButton() const { return clearButton_; }
  QPushButton* okButton() const { return okButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QGroupBox* modeGroup() const { return modeGroup_; }
  QGroupBox* listGroup() const { return listGroup_; }

 public slots:
  void OnAddFilter();
  void OnRemoveFilter();
  void OnClearFilters();
  void OnEditFilter(QTreeWidgetItem* item);
  void accept() override;

 protected:
  // Runs the New filter dialog, filled with `start`; the two texts as typed,
  // or nothing when it was cancelled. Tests override it.
  virtual std::optional<corvane::FilterRule> AskNewFilter(const corvane::FilterRule& start);
  // Asks whether a rule that matches every flow is meant (default: No).
  virtual bool ConfirmMatchAll();
  // Every message box of the dialog goes through here (tests override it).
  virtual void ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text);

 private:
  std::optional<corvane::FilterRule> AskRule(const corvane::FilterRule& start);
  void LoadFile();
  void InsertRow(const std::string& remoteHost, const std::string& localSource);

  std::string filterFile_;
  QGroupBox* modeGroup_ = nullptr;
  QGroupBox* listGroup_ = nullptr;
  QRadioButton* blackList_ = nullptr;
  QRadioButton* whiteList_ = nullptr;
  QTreeWidget* list_ = nullptr;
  CIconButton* addButton_ = nullptr;
  CIconButton* removeButton_ = nullptr;
  CIconButton* clearButton_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};
