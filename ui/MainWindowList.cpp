// The main window's list commands: the quick filter, copying rows, hiding
// hosts and programs (and undoing it), the context menu and sorting.
#include "ui/CMainDlg.h"

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>
#include <algorithm>

#include "ui/ProgramRecording.h"
#include "ui/ProgramsView.h"
#include "ui/ListWorker.h"
#include "engine/program_totals.h"
#include "ui/TrafficModel.h"
#include "ui/dialog_units.h"
#include "ui/list_actions.h"
#include "ui/main_window_parts.h"

using namespace main_window;

// The list's own commands: the quick filter box, copying rows, hiding a host
// or a program through a new filter rule, looking a host up again.
void CMainDlg::BuildListCommands() {
  quickFilter_ = new QLineEdit(client_);
  quickFilter_->setPlaceholderText(QStringLiteral("Filter rows (Ctrl+F)"));
  quickFilter_->setClearButtonEnabled(true);
  quickFilter_->setGeometry(DialogRect(this, 130, 10, 138, 14));
  connect(quickFilter_, &QLineEdit::textChanged, this, &CMainDlg::ApplyQuickFilter);
  // Rows come and change all the time; the filter catches up a few times a
  // second rather than on every record.
  quickFilterTimer_.setSingleShot(true);
  quickFilterTimer_.setInterval(200);
  connect(&quickFilterTimer_, &QTimer::timeout, this, &CMainDlg::ApplyQuickFilter);
  auto later = [this] {
    if (!quickFilter_->text().isEmpty() && !quickFilterTimer_.isActive()) quickFilterTimer_.start();
  };
  connect(model_, &QAbstractItemModel::rowsInserted, this, later);
  connect(model_, &QAbstractItemModel::rowsRemoved, this, later);
  connect(model_, &QAbstractItemModel::modelReset, this, later);
  connect(model_, &QAbstractItemModel::layoutChanged, this, later);
  connect(model_, &QAbstractItemModel::dataChanged, this, later);

  auto shortcut = [this](const QKeySequence& keys, auto slot) {
    auto* action = new QAction(this);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, slot);
    addAction(action);
  };
  shortcut(QKeySequence::Find, [this] {
    quickFilter_->setFocus(Qt::ShortcutFocusReason);
    quickFilter_->selectAll();
  });
  shortcut(QKeySequence::Copy, [this] {
    programsAction_->isChecked() ? programsView_->CopySelection() : CopyRows(CellsOf(ChosenRows(-1)));
  });
  shortcut(QKeySequence::Delete, [this] {
    if (!programsAction_->isChecked()) HideHostsOf(CellsOf(ChosenRows(-1)), /*ask=*/true);
  });

  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_, &QWidget::customContextMenuRequested, this, &CMainDlg::OnListMenu);
}

std::vector<int> CMainDlg::ChosenRows(int clickedRow) const {
  // The rows the user chose; rows tinted for recent activity are not.
  std::vector<int> marked = model_->ChosenRows();
  // A right-click on an unmarked row means that row alone.
  if (clickedRow >= 0 && std::find(marked.begin(), marked.end(), clickedRow) == marked.end()) {
    return {clickedRow};
  }
  if (marked.empty() && view_->currentIndex().isValid()) return {view_->currentIndex().row()};
  std::vector<int> shown;
  for (int row : marked) {
    if (!view_->isRowHidden(row)) shown.push_back(row);
  }
  return shown;
}

std::vector<corvane::RowCells> CMainDlg::CellsOf(const std::vector<int>& rows) const {
  std::vector<corvane::RowCells> cells;
  for (int row : rows) {
    if (row >= 0 && row < model_->rowCount()) cells.push_back(model_->Cells(row));
  }
  return cells;
}

void CMainDlg::CopyRows(const std::vector<corvane::RowCells>& rows) {
  if (rows.empty()) return;
  QGuiApplication::clipboard()->setText(RowsAsText(rows));
}

void CMainDlg::HideHostsOf(const std::vector<corvane::RowCells>& rows, bool ask) {
  std::vector<corvane::FilterRule> rules;
  QStringList hosts;
  for (const corvane::RowCells& cells : rows) {
    rules.push_back(HostRule(cells));
    hosts << QString::fromStdString(rules.back().remoteHost);
  }
  if (rules.empty()) return;
  hosts.removeDuplicates();
  if (ask && ShowMessage(QMessageBox::Question, QStringLiteral("Hide hosts"),
                         QStringLiteral("Add a filter rule that hides every flow of %1?")
                             .arg(hosts.join(QStringLiteral(", "))),
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Default) !=
                 QMessageBox::Yes) {
    return;
  }
  // Asked first, or undone at once from the status line.
  AddRules(rules, /*offerUndo=*/!ask);
}

void CMainDlg::AddRules(const std::vector<corvane::FilterRule>& rules, bool offerUndo) {
  std::vector<corvane::FilterRule> added;
  if (auto problem = AddHideRules(monitor_->filterFile(), rules, &added)) {
    ShowMessage(QMessageBox::Warning, QStringLiteral("Filters"), *problem, QMessageBox::Ok);
    return;
  }
  monitor_->ReloadFilters();
  if (!offerUndo || added.empty()) return;
  undoRules_ = std::move(added);
  QStringList what;
  for (const corvane::FilterRule& rule : undoRules_) {
    what << QString::fromStdString(rule.remoteHost == corvane::kAnyText ? rule.localSource
                                                                        : rule.remoteHost);
  }
  // Host and program names come from the network and other users.
  undoLabel_->setText(QStringLiteral("Hidden: %1 <a href=\"undo\">Undo</a>")
                          .arg(what.join(QStringLiteral(", ")).toHtmlEscaped()));
  undoLabel_->show();
  undoLabel_->raise();
  Relayout();
}

void CMainDlg::UndoHide() {
  undoLabel_->hide();
  if (undoRules_.empty()) return;
  const std::vector<corvane::FilterRule> rules = std::move(undoRules_);
  undoRules_.clear();
  if (auto problem = RemoveHideRules(monitor_->filterFile(), rules)) {
    ShowMessage(QMessageBox::Warning, QStringLiteral("Filters"), *problem, QMessageBox::Ok);
    return;
  }
  monitor_->ReloadFilters();
}

void CMainDlg::OnListMenu(const QPoint& position) {
  const QModelIndex index = view_->indexAt(position);
  const std::vector<int> rows = ChosenRows(index.isValid() ? index.row() : -1);
  if (rows.empty()) return;
  // The rows as they are now: the commands act on these, whatever comes
  // meanwhile; and nothing moves under the pointer while the menu is open.
  const std::vector<corvane::RowCells> cells = CellsOf(rows);
  const corvane::RowCells first = cells.front();
  std::vector<corvane::RowKey> keys;
  for (int row : rows) keys.push_back(model_->Key(row));
  model_->HoldPositions();
  QMenu menu(this);
  menu.addAction(rows.size() == 1 ? QStringLiteral("Copy row") : QStringLiteral("Copy rows"), this,
                 [this, cells] { CopyRows(cells); });
  menu.addAction(QStringLiteral("Copy address"), this, [first] {
    QGuiApplication::clipboard()->setText(QString::fromStdString(first[corvane::kColumnRemoteIp]));
  });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Hide this host"), this, [this, cells] { HideHostsOf(cells, false); });
  menu.addAction(QStringLiteral("Hide this program"), this,
                 [this, first] { AddRules({ProgramRule(first)}, /*offerUndo=*/true); });
  menu.addSeparator();
  // The program of the row clicked, even among marked rows.
  const std::string program(corvane::ProgramOfSource(
      (index.isValid() ? model_->Cells(index.row()) : first)[corvane::kColumnLocalSource]));
  menu.addAction(recording_->EntryText(), this, [this, program] { OnRecordProgram(program); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Look up again"), this, [this, keys] {
    corvane::Monitor* monitor = monitor_;
    listWork_->Post([monitor, keys] {
      for (const corvane::RowKey& key : keys) monitor->LookUpHostAgain(key);
    });
  });
  listMenuHook_ ? listMenuHook_(menu) : (void)menu.exec(view_->viewport()->mapToGlobal(position));
  model_->ReleasePositions();
}

void CMainDlg::ApplyQuickFilter() {
  if (programsAction_->isChecked()) programsView_->Refresh(*model_, quickFilter_->text());
  const QString needle = quickFilter_->text().trimmed();
  const int count = model_->rowCount();
  for (int row = 0; row < count; ++row) {
    const bool hide = !RowMatchesQuickFilter(model_->Cells(row), needle);
    if (view_->isRowHidden(row) != hide) view_->setRowHidden(row, hide);
  }
}

// ---------------------------------------------------------------- the list

void CMainDlg::OnSortColumn(int column) {
  // The speed column lives only in the window; the list cannot sort by it.
  if (column >= corvane::kColumnCount) {
    view_->horizontalHeader()->setSortIndicator(
        sortColumn_, sortDirection_ == corvane::SortDirection::kGreatestFirst ? Qt::DescendingOrder
                                                                              : Qt::AscendingOrder);
    return;
  }
  // A new column sorts greatest first; clicking it again turns it round.
  if (column == sortColumn_) {
    sortDirection_ = sortDirection_ == corvane::SortDirection::kGreatestFirst
                         ? corvane::SortDirection::kSmallestFirst
                         : corvane::SortDirection::kGreatestFirst;
  } else {
    sortDirection_ = corvane::SortDirection::kGreatestFirst;
  }
  SortBy(column, sortDirection_);
}

void CMainDlg::SortBy(int column, corvane::SortDirection direction) {
  sortColumn_ = column;
  sortDirection_ = direction;
  view_->horizontalHeader()->setSortIndicator(
      column, direction == corvane::SortDirection::kGreatestFirst ? Qt::DescendingOrder
                                                                 : Qt::AscendingOrder);
  // The window orders its own rows; the core's order is the one logs and
  // exports are written in.
  model_->SortBy(column, direction);
  corvane::Monitor* monitor = monitor_;
  listWork_->Post([monitor, column, direction] { monitor->SortRows(column, direction); });
}

void CMainDlg::WaitForListWork() { listWork_->Wait(); }
