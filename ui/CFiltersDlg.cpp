#include "ui/CFiltersDlg.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "ui/CIconButton.h"
#include "ui/CNewFilterDlg.h"
#include "ui/dialog_units.h"

using corvane::FilterMode;
using corvane::FilterRule;

namespace {

const QColor kCaptionColour(10, 10, 155);
constexpr int kColumnWidth = 180;

QGroupBox* CaptionedGroup(const QString& title, QWidget* parent) {
  auto* group = new QGroupBox(title, parent);
  QPalette palette = group->palette();
  palette.setColor(QPalette::WindowText, CaptionColour(parent, kCaptionColour));
  group->setPalette(palette);
  return group;
}

}  // namespace

CFiltersDlg::CFiltersDlg(std::string filterFile, QWidget* parent)
    : QDialog(parent), filterFile_(std::move(filterFile)) {
  setWindowTitle(QStringLiteral("Filters"));

  // The layout in dialog units, 330 x 158. The group boxes are frames drawn
  // behind their controls, not their parents, so their caption colour stays
  // their own.
  modeGroup_ = CaptionedGroup(QStringLiteral("Use filters as:"), this);
  modeGroup_->setGeometry(DialogRect(this, 7, 7, 316, 30));
  listGroup_ = CaptionedGroup(QStringLiteral("Filter list: "), this);
  listGroup_->setGeometry(DialogRect(this, 7, 42, 316, 90));

  blackList_ = new QRadioButton(QStringLiteral("&Black list (hide the matches)"), this);
  blackList_->setGeometry(DialogRect(this, 16, 20, 120, 10));
  whiteList_ = new QRadioButton(QStringLiteral("&White list (show only the matches)"), this);
  whiteList_->setGeometry(DialogRect(this, 146, 20, 170, 10));

  // A click anywhere in a button's rectangle selects it, so each is only as
  // wide as its text.
  for (QRadioButton* button : {blackList_, whiteList_}) {
    button->resize(std::min(button->width(), button->sizeHint().width()), button->height());
  }

  list_ = new QTreeWidget(this);
  list_->setGeometry(DialogRect(this, 14, 54, 229, 71));
  list_->setColumnCount(2);
  list_->setHeaderLabels({QStringLiteral("Remote host"), QStringLiteral("Local source")});
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSortingEnabled(false);
  list_->setAllColumnsShowFocus(true);
  list_->header()->setSectionsClickable(false);
  list_->header()->setStretchLastSection(false);
  list_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->setColumnWidth(0, kColumnWidth);
  list_->setColumnWidth(1, kColumnWidth);

  addButton_ = new CIconButton(this);
  addButton_->setText(QStringLiteral("&Add filter..."));
  addButton_->setGeometry(DialogRect(this, 250, 52, 64, 14));
  removeButton_ = new CIconButton(this);
  removeButton_->setText(QStringLiteral("&Remove filter"));
  removeButton_->setGeometry(DialogRect(this, 250, 71, 64, 14));
  clearButton_ = new CIconButton(this);
  clearButton_->setText(QStringLiteral("&Clear filters"));
  clearButton_->setGeometry(DialogRect(this, 250, 90, 64, 14));
  for (CIconButton* button : {addButton_, removeButton_, clearButton_}) {
    button->setAutoDefault(false);
  }
  connect(addButton_, &QPushButton::clicked, this, &CFiltersDlg::OnAddFilter);
  connect(removeButton_, &QPushButton::clicked, this, &CFiltersDlg::OnRemoveFilter);
  connect(clearButton_, &QPushButton::clicked, this, &CFiltersDlg::OnClearFilters);
  connect(list_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item, int) { OnEditFilter(item); });

  AddOkCancelButtons(this, 107, 173, 138, okButton_, cancelButton_);

  setFixedSize(DialogRect(this, 0, 0, 330, 158).size());

  addButton_->AssignIcon(QStringLiteral(":/icons/add_filter.svg"));
  removeButton_->AssignIcon(QStringLiteral(":/icons/remove_filter.svg"));
  clearButton_->AssignIcon(QStringLiteral(":/icons/clear_filters.svg"));
  LoadFile();
}

void CFiltersDlg::LoadFile() {
  blackList_->setChecked(true);
  // A missing or unreadable file opens as an empty black list.
  corvane::FilterLoadResult loaded = corvane::LoadFilterSet(filterFile_);
  if (loaded.status != corvane::FilterLoadStatus::Loaded) return;
  if (loaded.filters.mode == FilterMode::WhiteList) whiteList_->setChecked(true);
  // Each rule read goes to the top.
  for (const FilterRule& rule : loaded.filters.rules) InsertRow(rule.remoteHost, rule.localSource);
}

void CFiltersDlg::InsertRow(const std::string& remoteHost, const std::string& localSource) {
  auto* item = new QTreeWidgetItem(
      QStringList{QString::fromStdString(remoteHost), QString::fromStdString(localSource)});
  list_->insertTopLevelItem(0, item);
}

FilterMode CFiltersDlg::mode() const {
  return blackList_->isChecked() ? FilterMode::BlackList : FilterMode::WhiteList;
}

std::vector<FilterRule> CFiltersDlg::rows() const {
  std::vector<FilterRule> rules;
  for (int row = 0; row < list_->topLevelItemCount(); ++row) {
    const QTreeWidgetItem* item = list_->topLevelItem(row);
    rules.push_back({item->text(0).toStdString(), item->text(1).toStdString()});
  }
  return rules;
}

std::optional<FilterRule> CFiltersDlg::AskNewFilter(const FilterRule& start) {
  CNewFilterDlg dialog(this);
  dialog.SetRule(QString::fromStdString(start.remoteHost), QString::fromStdString(start.localSource));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return FilterRule{dialog.remoteHostRule().toStdString(), dialog.localSourceRule().toStdString()};
}

std::optional<FilterRule> CFiltersDlg::AskRule(const FilterRule& start) {
  // "<ANY>" is how the list shows a blank rule; it opens as a blank box.
  const std::string any(corvane::kAnyText);
  std::optional<FilterRule> rule =
      AskNewFilter({start.remoteHost == any ? std::string() : start.remoteHost,
                    start.localSource == any ? std::string() : start.localSource});
  // A rule of two blanks matches every flow: as a black-list rule it
  // empties the list, so it is never taken by accident.
  if (rule && rule->remoteHost.empty() && rule->localSource.empty() && !ConfirmMatchAll()) {
    return std::nullopt;
  }
  return rule;
}

bool CFiltersDlg::ConfirmMatchAll() {
  QMessageBox box(QMessageBox::Question, QStringLiteral("New filter"),
                  QStringLiteral("Both rules are blank, so this filter matches every connection. "
                                 "Add it anyway?"),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void CFiltersDlg::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                              const QString& text) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
  // Paths and reasons are shown as they are, never as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void CFiltersDlg::OnAddFilter() {
  std::optional<FilterRule> rule = AskRule({});
  if (!rule) return;
  // Texts are taken as typed; only an empty one stands for "any".
  const std::string any(corvane::kAnyText);
  InsertRow(rule->remoteHost.empty() ? any : rule->remoteHost,
            rule->localSource.empty() ? any : rule->localSource);
}

void CFiltersDlg::OnEditFilter(QTreeWidgetItem* item) {
  if (!item) return;
  std::optional<FilterRule> rule =
      AskRule({item->text(0).toStdString(), item->text(1).toStdString()});
  if (!rule) return;
  const std::string any(corvane::kAnyText);
  item->setText(0, QString::fromStdString(rule->remoteHost.empty() ? any : rule->remoteHost));
  item->setText(1, QString::fromStdString(rule->localSource.empty() ? any : rule->localSource));
}

void CFiltersDlg::OnRemoveFilter() {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;
  delete list_->takeTopLevelItem(list_->indexOfTopLevelItem(selected.front()));
}

void CFiltersDlg::OnClearFilters() { list_->clear(); }

void CFiltersDlg::accept() {
  if (!corvane::WriteFilterFile(filterFile_, mode(), rows())) {
    ShowMessage(QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("Can't write to %1").arg(QString::fromStdString(filterFile_)));
  }
  // The dialog closes with OK also when the file could not be written.
  QDialog::accept();
}
