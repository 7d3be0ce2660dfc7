#include "ui/ProgramsView.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <algorithm>

#include "engine/program_totals.h"
#include "ui/ProgramIcons.h"
#include "ui/ProgramRecording.h"

ProgramsView::ProgramsView(ProgramIcons* icons, QWidget* parent)
    : QTreeView(parent), model_(new ProgramsModel(icons, this)), proxy_(new QSortFilterProxyModel(this)) {
  proxy_->setSourceModel(model_);
  proxy_->setSortRole(ProgramsModel::kSortRole);
  proxy_->setDynamicSortFilter(true);
  setModel(proxy_);
  setSortingEnabled(true);
  sortByColumn(ProgramsModel::kColumnTotal, Qt::DescendingOrder);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setIconSize(QSize(16, 16));
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(ProgramsModel::kColumnName, QHeaderView::Stretch);
  const QFontMetrics metrics(font());
  for (int column = ProgramsModel::kColumnDownload; column < ProgramsModel::kColumnCount; ++column) {
    setColumnWidth(column, metrics.horizontalAdvance(QStringLiteral("9999.99 MB/s")) + 12);
  }
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this, &ProgramsView::OnMenu);
}

void ProgramsView::Refresh(const TrafficModel& list, const QString& needle) {
  model_->SetTotals(ProgramTotalsOf(list, needle));
}

std::vector<QModelIndex> ProgramsView::SelectedLines() const {
  std::vector<QModelIndex> lines;
  QModelIndexList rows = selectionModel()->selectedRows(0);
  if (rows.isEmpty() && currentIndex().isValid()) rows << currentIndex().siblingAtColumn(0);
  // In the order the view shows them: by their visual position.
  std::sort(rows.begin(), rows.end(), [this](const QModelIndex& a, const QModelIndex& b) {
    return visualRect(a).top() < visualRect(b).top();
  });
  for (const QModelIndex& row : rows) lines.push_back(proxy_->mapToSource(row));
  return lines;
}

QString ProgramsView::SelectedText() const {
  QStringList lines;
  for (const QModelIndex& line : SelectedLines()) lines << model_->LineText(line);
  return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void ProgramsView::CopySelection() {
  const QString text = SelectedText();
  if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

void ProgramsView::OnMenu(const QPoint& position) {
  const QModelIndex at = indexAt(position);
  if (at.isValid() && !selectionModel()->isRowSelected(at.row(), at.parent())) {
    selectionModel()->select(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    setCurrentIndex(at);
  }
  const std::vector<QModelIndex> lines = SelectedLines();
  if (lines.empty()) return;
  const corvane::ProgramTotal* program = model_->ProgramAt(lines.front());
  const corvane::ProgramHost* host = model_->HostAt(lines.front());
  if (!program || program->hosts.empty()) return;
  // The texts of a row of this program (and host), as the rules read them.
  corvane::RowCells cells;
  cells[corvane::kColumnLocalSource] = program->source;
  cells[corvane::kColumnRemoteIp] = host ? host->remoteIp : std::string();
  cells[corvane::kColumnRemoteHost] = host ? host->remoteHost : std::string();
  QMenu menu(this);
  menu.addAction(lines.size() == 1 ? QStringLiteral("Copy line") : QStringLiteral("Copy lines"),
                 this, &ProgramsView::CopySelection);
  menu.addSeparator();
  if (host) menu.addAction(QStringLiteral("Hide this host"), this, [this, cells] { emit hideHost(cells); });
  menu.addAction(QStringLiteral("Hide this program"), this, [this, cells] { emit hideProgram(cells); });
  if (recording_) {
    menu.addSeparator();
    menu.addAction(recording_->EntryText(), this,
                   [this, name = program->program] { emit recordProgram(name); });
  }
  menuHook_ ? menuHook_(menu) : (void)menu.exec(viewport()->mapToGlobal(position));
}

ProgramIconDelegate::ProgramIconDelegate(ProgramIcons* icons, QObject* parent)
    : MarkDelegate(parent), icons_(icons) {
  connect(icons_, &ProgramIcons::iconsChanged, this, [this] {
    if (auto* view = qobject_cast<QAbstractItemView*>(this->parent())) view->viewport()->update();
  });
}

void ProgramIconDelegate::initStyleOption(QStyleOptionViewItem* option,
                                          const QModelIndex& index) const {
  MarkDelegate::initStyleOption(option, index);
  if (index.column() != corvane::kColumnLocalSource) return;
  const std::string source = index.data(Qt::DisplayRole).toString().toStdString();
  option->icon = icons_->Icon(QString::fromStdString(std::string(corvane::ProgramOfSource(source))));
  option->features |= QStyleOptionViewItem::HasDecoration;
  option->decorationSize = QSize(16, 16);
}
