#include "ui/TrafficModel.h"

#include <QMetaObject>
#include <algorithm>

using corvane::ListChange;
using corvane::RowCells;

namespace {

struct ColumnInfo {
  const char* heading;
  int width;
  Qt::Alignment alignment;
};

const ColumnInfo kColumns[corvane::kColumnCount] = {
    {"Remote IP", 120, Qt::AlignLeft},    {"Remote host", 170, Qt::AlignLeft},
    {"DL", 80, Qt::AlignRight},           {"UL", 80, Qt::AlignRight},
    {"DL & UL", 80, Qt::AlignRight},      {"Local source", 120, Qt::AlignLeft},
    {"First activity", 120, Qt::AlignLeft}, {"Last activity", 120, Qt::AlignLeft},
};

}  // namespace

TrafficModel::TrafficModel(QObject* parent)
    : QAbstractTableModel(parent),
      rowIcon_(QStringLiteral(":/icons/row.svg")),
      headerIcons_{QIcon(QStringLiteral(":/icons/header_down.svg")),
                   QIcon(QStringLiteral(":/icons/header_up.svg")),
                   QIcon(QStringLiteral(":/icons/header_both.svg"))} {}

QString TrafficModel::Heading(int column) {
  return column >= 0 && column < corvane::kColumnCount ? QString::fromLatin1(kColumns[column].heading)
                                                       : QString();
}

int TrafficModel::ColumnWidth(int column) {
  return column >= 0 && column < corvane::kColumnCount ? kColumns[column].width : 0;
}

Qt::Alignment TrafficModel::ColumnAlignment(int column) {
  return column >= 0 && column < corvane::kColumnCount ? kColumns[column].alignment
                                                       : Qt::AlignLeft;
}

int TrafficModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TrafficModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : corvane::kColumnCount;
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return QString::fromUtf8(Cells(index.row())[static_cast<size_t>(column)]);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ColumnAlignment(column) | Qt::AlignVCenter);
    case Qt::DecorationRole:
      if (column == corvane::kColumnRemoteIp) return rowIcon_;
      return {};
    default:
      return {};
  }
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= corvane::kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  switch (role) {
    case Qt::DisplayRole:
      return Heading(section);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ColumnAlignment(section) | Qt::AlignVCenter);
    case Qt::DecorationRole:
      if (section >= corvane::kColumnDownload && section <= corvane::kColumnTotal) {
        return headerIcons_[section - corvane::kColumnDownload];
      }
      return {};
    default:
      return {};
  }
}

corvane::TrafficList::ChangeSink TrafficModel::ChangeSink() {
  return [this](std::vector<ListChange>&& changes) {
    std::lock_guard lock(pendingMutex_);
    if (pending_.empty()) {
      pending_ = std::move(changes);
    } else {
      pending_.insert(pending_.end(), std::make_move_iterator(changes.begin()),
                      std::make_move_iterator(changes.end()));
    }
    // One posted call drains everything queued until it runs.
    if (!posted_) {
      posted_ = true;
      QMetaObject::invokeMethod(this, &TrafficModel::ApplyPending, Qt::QueuedConnection);
    }
  };
}

void TrafficModel::ApplyPending() {
  std::vector<ListChange> changes;
  {
    std::lock_guard lock(pendingMutex_);
    changes.swap(pending_);
    posted_ = false;
  }
  if (!changes.empty()) Apply(std::move(changes));
}

void TrafficModel::Apply(std::vector<ListChange>&& changes) {
  bool flagsChanged = false;
  for (ListChange& change : changes) ApplyOne(change, flagsChanged);
  if (flagsChanged) emit selectionFlagsChanged();
}

void TrafficModel::ApplyOne(ListChange& change, bool& flagsChanged) {
  const int count = static_cast<int>(rows_.size());
  switch (change.kind) {
    case ListChange::Kind::Insert: {
      const int row = std::clamp(change.row, 0, count);
      beginInsertRows(QModelIndex(), row, row);
      rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(rows_.size() - static_cast<size_t>(row)),
                   Row{std::move(change.cells), false});
      endInsertRows();
      return;
    }
    case ListChange::Kind::SetCell: {
      if (change.row < 0 || change.row >= count || change.column < 0 ||
          change.column >= corvane::kColumnCount) {
        return;
      }
      rows_[SlotOf(change.row)].cells[static_cast<size_t>(change.column)] = std::move(change.text);
      QModelIndex at = index(change.row, change.column);
      emit dataChanged(at, at, {Qt::DisplayRole});
      return;
    }
    case ListChange::Kind::Select:
    case ListChange::Kind::Deselect: {
      if (change.row < 0 || change.row >= count) return;
      bool selected = change.kind == ListChange::Kind::Select;
      Row& r = rows_[SlotOf(change.row)];
      if (r.selected != selected) {
        r.selected = selected;
        flagsChanged = true;
      }
      return;
    }
    case ListChange::Kind::Remove: {
      if (change.row < 0 || change.row >= count) return;
      beginRemoveRows(QModelIndex(), change.row, change.row);
      rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(SlotOf(change.row)));
      endRemoveRows();
      return;
    }
    case ListChange::Kind::Clear:
      if (rows_.empty()) return;
      beginResetModel();
      rows_.clear();
      endResetModel();
      flagsChanged = true;
      return;
    case ListChange::Kind::Reorder:
      if (change.order.size() != rows_.size()) return;
      ApplyReorder(change.order);
      flagsChanged = true;
      return;
  }
}

void TrafficModel::ApplyReorder(const std::vector<int>& order) {
  const size_t n = rows_.size();
  std::vector<int> newRowOf(n, -1);
  for (size_t newRow = 0; newRow < n; ++newRow) {
    int oldRow = order[newRow];
    if (oldRow < 0 || static_cast<size_t>(oldRow) >= n || newRowOf[static_cast<size_t>(oldRow)] >= 0) {
      return;  // not a permutation: keep the rows as they are
    }
    newRowOf[static_cast<size_t>(oldRow)] = static_cast<int>(newRow);
  }
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // Permute in place along cycles: no second copy of a long list.
  std::vector<size_t> newSlot(n);
  for (size_t newRow = 0; newRow < n; ++newRow) newSlot[SlotOf(order[newRow])] = n - 1 - newRow;
  std::vector<bool> placed(n, false);
  for (size_t start = 0; start < n; ++start) {
    if (placed[start]) continue;
    Row carried = std::move(rows_[start]);
    for (size_t slot = start;;) {
      placed[slot] = true;
      const size_t target = newSlot[slot];
      if (target == start) {
        rows_[start] = std::move(carried);
        break;
      }
      std::swap(carried, rows_[target]);
      slot = target;
    }
  }
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& old : before) {
    after.push_back(index(newRowOf[static_cast<size_t>(old.row())], old.column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

QItemSelection TrafficModel::SelectedRanges() const {
  QItemSelection selection;
  const int count = rowCount();
  const int lastColumn = corvane::kColumnCount - 1;
  for (int row = 0; row < count;) {
    if (!IsSelected(row)) {
      ++row;
      continue;
    }
    int end = row;
    while (end + 1 < count && IsSelected(end + 1)) ++end;
    selection.append(QItemSelectionRange(index(row, 0), index(end, lastColumn)));
    row = end + 1;
  }
  return selection;
}

int TrafficModel::CoreRowOf(int row) const {
  std::lock_guard lock(pendingMutex_);
  for (const ListChange& change : pending_) {
    if (row < 0) return -1;
    switch (change.kind) {
      case ListChange::Kind::Insert:
        if (change.row <= row) ++row;
        break;
      case ListChange::Kind::Remove:
        if (change.row == row) return -1;
        if (change.row < row) --row;
        break;
      case ListChange::Kind::Clear:
        return -1;
      case ListChange::Kind::Reorder: {
        auto it = std::find(change.order.begin(), change.order.end(), row);
        if (it == change.order.end()) return -1;
        row = static_cast<int>(it - change.order.begin());
        break;
      }
      case ListChange::Kind::SetCell:
      case ListChange::Kind::Select:
      case ListChange::Kind::Deselect:
        break;
    }
  }
  return row;
}
