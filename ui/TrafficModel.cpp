#include "ui/TrafficModel.h"
#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QMetaObject>
#include <algorithm>
#include <string_view>

#include "vocabulary/text_format.h"

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
                   QIcon(QStringLiteral(":/icons/header_both.svg"))} {
  drainTimer_.setSingleShot(true);
  connect(&drainTimer_, &QTimer::timeout, this, &TrafficModel::ApplyPending);
}

QString TrafficModel::Heading(int column) {
  return column >= 0 && column < corvane::kColumnCount ? QString::fromLatin1(kColumns[column].heading)
                                                       : QString();
}

int TrafficModel::ColumnWidth(int column) {
  if (column == corvane::kColumnRemoteIp) return RemoteIpWidth();
  return column >= 0 && column < corvane::kColumnCount ? kColumns[column].width : 0;
}

int TrafficModel::RemoteIpWidth() {
  const int base = kColumns[corvane::kColumnRemoteIp].width;
  if (!QGuiApplication::instance()) return base;
  // The longest address text: eight groups of four of the font's widest hex
  // digit. Beside it the row image and the cell's margins.
  const QFontMetrics metrics(QGuiApplication::font());
  int digit = 0;
  for (char c : std::string_view("0123456789abcdef")) {
    digit = std::max(digit, metrics.horizontalAdvance(QLatin1Char(c)));
  }
  constexpr int kImageAndMargins = 16 + 4 + 12;
  const int text = 32 * digit + 7 * metrics.horizontalAdvance(QLatin1Char(':'));
  return std::max(base, text + kImageAndMargins);
}

Qt::Alignment TrafficModel::ColumnAlignment(int column) {
  return column >= 0 && column < corvane::kColumnCount ? kColumns[column].alignment
                                                       : Qt::AlignLeft;
}

int TrafficModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TrafficModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : corvane::kColumnCount + 1;
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const int column = index.column();
  if (role == kMarkRole) return IsSelected(index.row());
  if (role == kUserMarkRole) return rows_[SlotOf(index.row())].byUser;
  if (column == kColumnSpeed) {
    const uint64_t speed = Speed(index.row());
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    if (speed == 0) return QString();
    return QString::fromStdString(corvane::FormatByteCount(speed)) + QStringLiteral("/s");
  }
  return CellData(Cells(index.row())[static_cast<size_t>(column)], column, role, rowIcon_);
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && section == kColumnSpeed) {
    if (role == Qt::DisplayRole) return QStringLiteral("Speed");
    if (role == Qt::ToolTipRole) return QStringLiteral("Bytes per second, both directions, over the last 3 seconds");
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
  }
  if (orientation != Qt::Horizontal || section < 0 || section >= corvane::kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return HeadingData(section, role, headerIcons_);
}

QVariant TrafficModel::CellData(const std::string& text, int column, int role, const QIcon& rowIcon) {
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromUtf8(text);
    case Qt::ToolTipRole:
      return PlainToolTip(QString::fromUtf8(text));
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ColumnAlignment(column) | Qt::AlignVCenter);
    case Qt::DecorationRole:
      if (column == corvane::kColumnRemoteIp) return rowIcon;
      return {};
    default:
      return {};
  }
}

QVariant TrafficModel::HeadingData(int column, int role, const QIcon (&headerIcons)[3]) {
  switch (role) {
    case Qt::DisplayRole:
      return Heading(column);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ColumnAlignment(column) | Qt::AlignVCenter);
    case Qt::DecorationRole:
      if (column >= corvane::kColumnDownload && column <= corvane::kColumnTotal) {
        return headerIcons[column - corvane::kColumnDownload];
      }
      return {};
    default:
      return {};
  }
}

corvane::TrafficList::ChangeSink TrafficModel::ChangeSink() {
  return [this](std::vector<ListChange>&& changes) {
    corvane::MutexLock lock(pendingMutex_);
    if (pending_.empty()) {
      pending_ = std::move(changes);
    } else {
      pending_.insert(pending_.end(), std::make_move_iterator(changes.begin()),
                      std::make_move_iterator(changes.end()));
    }
    // One posted call drains everything queued until it runs.
    if (!posted_) {
      posted_ = true;
      QMetaObject::invokeMethod(this, &TrafficModel::ScheduleDrain, Qt::QueuedConnection);
    }
  };
}

void TrafficModel::ScheduleDrain() {
  const qint64 since = lastDrain_.isValid() ? lastDrain_.elapsed() : kDrainIntervalMs;
  if (since >= kDrainIntervalMs) {
    ApplyPending();
  } else if (!drainTimer_.isActive()) {
    drainTimer_.start(static_cast<int>(kDrainIntervalMs - since));
  }
}

void TrafficModel::ApplyPending() {
  lastDrain_.start();
  std::vector<ListChange> changes;
  {
    corvane::MutexLock lock(pendingMutex_);
    changes.swap(pending_);
    posted_ = false;
  }
  if (!changes.empty()) Apply(std::move(changes));
}

void TrafficModel::Apply(std::vector<ListChange>&& changes) {
  MarkSpan marks;
  for (ListChange& change : changes) ApplyOne(change, marks);
  // One repaint of the marked span instead of one per record.
  if (!marks.Empty()) {
    emit dataChanged(index(marks.top, 0), index(marks.bottom, kColumnSpeed),
                     {kMarkRole});
  }
}

void TrafficModel::MarkSpan::Add(int row) {
  if (Empty()) {
    top = bottom = row;
  } else {
    top = std::min(top, row);
    bottom = std::max(bottom, row);
  }
}

void TrafficModel::MarkSpan::Inserted(int row) {
  if (Empty()) return;
  if (row <= top) ++top;
  if (row <= bottom) ++bottom;
}

void TrafficModel::MarkSpan::Removed(int row) {
  if (Empty()) return;
  if (row < top) --top;
  if (row <= bottom) --bottom;
}

void TrafficModel::DropPrior(Row& row) {
  if (row.prior < 0) return;
  row.prior = -1;
  --provisionalCount_;
}

void TrafficModel::ApplyOne(ListChange& change, MarkSpan& marks) {
  const int count = static_cast<int>(rows_.size());
  switch (change.kind) {
    case ListChange::Kind::Insert: {
      const int row = std::clamp(change.row, 0, count);
      beginInsertRows(QModelIndex(), row, row);
      rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(rows_.size() - static_cast<size_t>(row)),
                   Row{std::move(change.cells), change.key, false, -1, false, change.bytes, 0, {}});
      rows_[SlotOf(row)].history.fill(change.bytes);
      endInsertRows();
      marks.Inserted(row);
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
    case ListChange::Kind::Counts:
      if (change.row >= 0 && change.row < count) rows_[SlotOf(change.row)].bytes = change.bytes;
      return;
    case ListChange::Kind::Select:
    case ListChange::Kind::Deselect: {
      if (change.row < 0 || change.row >= count) return;
      bool selected = change.kind == ListChange::Kind::Select;
      Row& r = rows_[SlotOf(change.row)];
      // The core's word on this row outlasts a user's provisional range.
      DropPrior(r);
      if (!selected) r.byUser = false;
      if (r.selected != selected) {
        r.selected = selected;
        marks.Add(change.row);
      }
      return;
    }
    case ListChange::Kind::Remove: {
      if (change.row < 0 || change.row >= count) return;
      beginRemoveRows(QModelIndex(), change.row, change.row);
      DropPrior(rows_[SlotOf(change.row)]);
      rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(SlotOf(change.row)));
      endRemoveRows();
      marks.Removed(change.row);
      return;
    }
    case ListChange::Kind::Clear:
      if (rows_.empty()) return;
      beginResetModel();
      rows_.clear();
      provisionalCount_ = 0;
      endResetModel();
      marks = MarkSpan();
      return;
    case ListChange::Kind::Reorder:
      if (change.order.size() != rows_.size()) return;
      // The layout change repaints every row.
      ApplyReorder(change.order);
      marks = MarkSpan();
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

std::vector<int> TrafficModel::MarkedRows() const {
  std::vector<int> marked;
  const int count = rowCount();
  for (int row = 0; row < count; ++row) {
    if (IsSelected(row)) marked.push_back(row);
  }
  return marked;
}

void TrafficModel::UnmarkAll(std::vector<MarkChange>& changed) {
  const int count = rowCount();
  for (int row = 0; row < count; ++row) {
    Row& r = rows_[SlotOf(row)];
    r.prior = -1;
    r.byUser = false;
    if (r.selected) {
      r.selected = false;
      changed.push_back({row, false});
    }
  }
  provisionalCount_ = 0;
}

void TrafficModel::MarkRows(int top, int bottom, MarkOp op, std::vector<MarkChange>& changed) {
  top = std::max(top, 0);
  bottom = std::min(bottom, rowCount() - 1);
  for (int row = top; row <= bottom; ++row) {
    Row& r = rows_[SlotOf(row)];
    if (r.prior < 0) {
      r.prior = r.selected ? 1 : 0;
      ++provisionalCount_;
    }
    const bool marked = op == MarkOp::Set ? true : op == MarkOp::Clear ? false : !r.selected;
    if (r.byUser != marked) {
      r.byUser = marked;
      if (r.selected == marked) changed.push_back({row, marked});  // drawn anew
    }
    if (r.selected != marked) {
      r.selected = marked;
      changed.push_back({row, marked});
    }
  }
}

void TrafficModel::RevertProvisional(std::vector<MarkChange>& changed) {
  if (provisionalCount_ == 0) return;
  const int count = rowCount();
  for (int row = 0; row < count; ++row) {
    Row& r = rows_[SlotOf(row)];
    if (r.prior < 0) continue;
    const bool marked = r.prior == 1;
    r.prior = -1;
    if (!marked) r.byUser = false;
    if (r.selected != marked) {
      r.selected = marked;
      changed.push_back({row, marked});
    }
  }
  provisionalCount_ = 0;
}

void TrafficModel::CommitProvisional() {
  if (provisionalCount_ == 0) return;
  for (Row& r : rows_) r.prior = -1;
  provisionalCount_ = 0;
}

void TrafficModel::NotifyMarksChanged(const std::vector<MarkChange>& changed) {
  if (changed.empty()) return;
  int top = changed.front().row;
  int bottom = top;
  for (const MarkChange& change : changed) {
    top = std::min(top, change.row);
    bottom = std::max(bottom, change.row);
  }
  emit dataChanged(index(top, 0), index(bottom, kColumnSpeed), {kMarkRole});
}

void TrafficModel::TickSpeeds() {
  const size_t slot = speedTick_;
  speedTick_ = (speedTick_ + 1) % kSpeedSeconds;
  bool any = false;
  for (Row& row : rows_) {
    // The slot written now holds the bytes of kSpeedSeconds ticks ago.
    const uint64_t then = row.history[slot];
    const uint64_t speed = row.bytes > then ? (row.bytes - then) / kSpeedSeconds : 0;
    any = any || speed != row.speed;
    row.speed = speed;
    row.history[slot] = row.bytes;
  }
  // Only the visible rows repaint.
  if (any && !rows_.empty()) {
    emit dataChanged(index(0, kColumnSpeed), index(rowCount() - 1, kColumnSpeed), {Qt::DisplayRole});
  }
}
