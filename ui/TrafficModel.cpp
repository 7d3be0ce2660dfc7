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
using corvane::RowValues;

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
  return parent.isValid() ? 0 : static_cast<int>(order_.size());
}

int TrafficModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : corvane::kColumnCount + 1;
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const int column = index.column();
  const Row& row = RowAt(index.row());
  if (role == kActivityRole) return row.active;
  if (role == kChosenRole) return row.chosen;
  if (column == kColumnSpeed) {
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    if (row.speed == 0) return QString();
    return QString::fromStdString(corvane::FormatByteCount(row.speed)) + QStringLiteral("/s");
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
    return CellData(std::string(), column, role, rowIcon_);
  }
  // The texts of the numbers are made here, for the cells drawn.
  const corvane::RowValues& v = row.values;
  std::string text;
  switch (column) {
    case corvane::kColumnDownload: text = corvane::FormatByteCount(v.downloadBytes); break;
    case corvane::kColumnUpload: text = corvane::FormatByteCount(v.uploadBytes); break;
    case corvane::kColumnTotal: text = corvane::FormatByteCount(v.downloadBytes + v.uploadBytes); break;
    case corvane::kColumnFirstActivity: text = corvane::FormatTimestamp(v.firstActivity); break;
    case corvane::kColumnLastActivity: text = corvane::FormatTimestamp(v.lastActivity); break;
    default:
      if (const std::string* shown = corvane::TextOfColumn(row.texts, column)) text = *shown;
      break;
  }
  return CellData(text, column, role, rowIcon_);
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
  bool touched = false;
  for (ListChange& change : changes) touched = ApplyOne(change) || touched;
  // One repaint of what is visible instead of one per record.
  if (touched && !order_.empty()) {
    emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnSpeed));
  }
}

corvane::RowCells TrafficModel::Cells(int row) const {
  const Row& r = RowAt(row);
  return corvane::CellsOf(r.texts, r.values);
}

int TrafficModel::RowOfId(uint32_t id) const {
  if (id >= rows_.size() || !rows_[id].live) return -1;
  if (slotsStale_) {
    slotOfId_.assign(rows_.size(), 0);
    for (size_t slot = 0; slot < order_.size(); ++slot) slotOfId_[order_[slot]] = static_cast<uint32_t>(slot);
    slotsStale_ = false;
  }
  return static_cast<int>(order_.size() - 1 - slotOfId_[id]);
}

bool TrafficModel::Above(const Row& a, const Row& b) const {
  const auto textOf = [this](const Row& r) -> std::string_view {
    const std::string* text = corvane::TextOfColumn(r.texts, sortColumn_);
    return text ? std::string_view(*text) : std::string_view();
  };
  if (sortDirection_ == corvane::SortDirection::kGreatestFirst) {
    return corvane::RowComesFirst(sortColumn_, textOf(a), a.values, textOf(b), b.values);
  }
  return corvane::RowComesFirst(sortColumn_, textOf(b), b.values, textOf(a), a.values);
}

int TrafficModel::PlaceOf(const Row& row) const {
  if (sortColumn_ < 0) return 0;
  // Above the first row it does not come after; rows that moved since the
  // sort leave the list only nearly sorted, which still gives a place.
  int low = 0;
  int high = rowCount();
  while (low < high) {
    const int middle = low + (high - low) / 2;
    if (Above(RowAt(middle), row)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

void TrafficModel::InsertAt(int row, uint32_t id) {
  beginInsertRows(QModelIndex(), row, row);
  const size_t slot = order_.size() - static_cast<size_t>(row);
  order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(slot), id);
  if (slot + 1 == order_.size() && !slotsStale_) {
    if (slotOfId_.size() <= id) slotOfId_.resize(id + 1);
    slotOfId_[id] = static_cast<uint32_t>(slot);
  } else {
    slotsStale_ = true;
  }
  endInsertRows();
}

void TrafficModel::DropPrior(Row& row) {
  if (row.prior < 0) return;
  row.prior = -1;
  --provisionalCount_;
}

bool TrafficModel::ApplyOne(ListChange& change) {
  const uint32_t id = change.id;
  const bool known = id < rows_.size() && rows_[id].live;
  switch (change.kind) {
    case ListChange::Kind::Insert: {
      if (known) return false;  // a record out of step: keep the row there is
      if (rows_.size() <= id) rows_.resize(id + 1);
      Row& row = rows_[id];
      row = Row{};
      row.live = true;
      row.key = change.key;
      row.texts = std::move(change.texts);
      row.values = change.values;
      row.history.fill(row.values.downloadBytes + row.values.uploadBytes);
      if (holds_ > 0) {
        heldIds_.push_back(id);
        InsertAt(rowCount(), id);
      } else {
        InsertAt(PlaceOf(row), id);
      }
      return false;
    }
    case ListChange::Kind::Counts:
      if (!known) return false;
      rows_[id].values = change.values;
      return true;
    case ListChange::Kind::Text: {
      if (!known) return false;
      const std::string* text = corvane::TextOfColumn(rows_[id].texts, change.column);
      if (!text) return false;
      *const_cast<std::string*>(text) = std::move(change.text);
      return true;
    }
    case ListChange::Kind::Mark:
      if (!known || rows_[id].active == change.marked) return false;
      rows_[id].active = change.marked;
      return true;
    case ListChange::Kind::Remove: {
      if (!known) return false;
      const int row = RowOfId(id);
      beginRemoveRows(QModelIndex(), row, row);
      DropPrior(rows_[id]);
      rows_[id] = Row{};
      order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(SlotOf(row)));
      std::erase(heldIds_, id);
      slotsStale_ = true;
      endRemoveRows();
      return false;
    }
    case ListChange::Kind::Clear:
      if (rows_.empty()) return false;
      beginResetModel();
      rows_.clear();
      order_.clear();
      slotOfId_.clear();
      slotsStale_ = false;
      heldIds_.clear();
      provisionalCount_ = 0;
      endResetModel();
      return false;
  }
  return false;
}

void TrafficModel::SetOrder(const std::vector<uint32_t>& topToBottom) {
  const size_t n = order_.size();
  if (topToBottom.size() != n) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> oldRowOfId(rows_.size(), -1);
  for (size_t slot = 0; slot < n; ++slot) oldRowOfId[order_[slot]] = static_cast<int>(n - 1 - slot);
  std::vector<int> newRowOfOld(n, -1);
  for (size_t row = 0; row < n; ++row) {
    newRowOfOld[static_cast<size_t>(oldRowOfId[topToBottom[row]])] = static_cast<int>(row);
  }
  for (size_t row = 0; row < n; ++row) order_[n - 1 - row] = topToBottom[row];
  slotsStale_ = true;
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& old : before) {
    after.push_back(index(newRowOfOld[static_cast<size_t>(old.row())], old.column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TrafficModel::SortBy(int column, corvane::SortDirection direction) {
  sortColumn_ = column >= 0 && column < corvane::kColumnCount ? column : -1;
  sortDirection_ = direction;
  if (sortColumn_ < 0 || order_.empty()) return;
  std::vector<uint32_t> ids(order_.rbegin(), order_.rend());
  std::stable_sort(ids.begin(), ids.end(),
                   [this](uint32_t a, uint32_t b) { return Above(rows_[a], rows_[b]); });
  heldIds_.clear();  // every row is in its place now
  SetOrder(ids);
}

void TrafficModel::HoldPositions() { ++holds_; }

void TrafficModel::ReleasePositions() {
  if (holds_ == 0 || --holds_ > 0 || heldIds_.empty()) return;
  // The rows that waited at the bottom go to their place, in the order they
  // came, as if they had come now.
  std::vector<uint32_t> held;
  held.swap(heldIds_);
  std::vector<uint32_t> ids;
  ids.reserve(order_.size());
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
    if (std::find(held.begin(), held.end(), *it) == held.end()) ids.push_back(*it);
  }
  for (uint32_t id : held) {
    size_t place = 0;
    if (sortColumn_ >= 0) {
      place = static_cast<size_t>(
          std::partition_point(ids.begin(), ids.end(),
                               [&](uint32_t other) { return Above(rows_[other], rows_[id]); }) -
          ids.begin());
    }
    ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(place), id);
  }
  SetOrder(ids);
}

std::vector<int> TrafficModel::ChosenRows() const {
  std::vector<int> chosen;
  const int count = rowCount();
  for (int row = 0; row < count; ++row) {
    if (IsChosen(row)) chosen.push_back(row);
  }
  return chosen;
}

void TrafficModel::UnmarkAll(std::vector<MarkChange>& changed) {
  const int count = rowCount();
  for (int row = 0; row < count; ++row) {
    Row& r = RowAt(row);
    r.prior = -1;
    if (r.chosen) {
      r.chosen = false;
      changed.push_back({row, false});
    }
  }
  provisionalCount_ = 0;
}

void TrafficModel::MarkRows(int top, int bottom, MarkOp op, std::vector<MarkChange>& changed) {
  top = std::max(top, 0);
  bottom = std::min(bottom, rowCount() - 1);
  for (int row = top; row <= bottom; ++row) {
    Row& r = RowAt(row);
    if (r.prior < 0) {
      r.prior = r.chosen ? 1 : 0;
      ++provisionalCount_;
    }
    const bool chosen = op == MarkOp::Set ? true : op == MarkOp::Clear ? false : !r.chosen;
    if (r.chosen != chosen) {
      r.chosen = chosen;
      changed.push_back({row, chosen});
    }
  }
}

void TrafficModel::RevertProvisional(std::vector<MarkChange>& changed) {
  if (provisionalCount_ == 0) return;
  const int count = rowCount();
  for (int row = 0; row < count; ++row) {
    Row& r = RowAt(row);
    if (r.prior < 0) continue;
    const bool chosen = r.prior == 1;
    r.prior = -1;
    if (r.chosen != chosen) {
      r.chosen = chosen;
      changed.push_back({row, chosen});
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
  emit dataChanged(index(top, 0), index(bottom, kColumnSpeed), {kChosenRole});
}

void TrafficModel::TickSpeeds() {
  const size_t slot = speedTick_;
  speedTick_ = (speedTick_ + 1) % kSpeedSeconds;
  bool any = false;
  for (Row& row : rows_) {
    if (!row.live) continue;
    // The slot written now holds the bytes of kSpeedSeconds ticks ago.
    const uint64_t bytes = row.values.downloadBytes + row.values.uploadBytes;
    const uint64_t then = row.history[slot];
    const uint64_t speed = bytes > then ? (bytes - then) / kSpeedSeconds : 0;
    any = any || speed != row.speed;
    row.speed = speed;
    row.history[slot] = bytes;
  }
  // Only the visible rows repaint.
  if (any && !order_.empty()) {
    emit dataChanged(index(0, kColumnSpeed), index(rowCount() - 1, kColumnSpeed), {Qt::DisplayRole});
  }
}
