#include "engine/traffic_list.h"

#include <algorithm>
#include <cassert>

#include "engine/text_format.h"

namespace corvane {

TrafficList::Lock::Lock(TrafficList& list) : list_(list), lock_(list.listMutex_) {}

TrafficList::Lock::~Lock() {
  if (!list_.pending_.empty() && list_.sink_) {
    std::vector<ListChange> changes;
    changes.swap(list_.pending_);
    list_.sink_(std::move(changes));
  }
}

void TrafficList::SetChangeSink(ChangeSink sink) {
  std::lock_guard lock(listMutex_);
  sink_ = std::move(sink);
  pending_.clear();
}

void TrafficList::Emit(ListChange&& change) {
  if (sink_) pending_.push_back(std::move(change));
}

const std::string& TrafficList::Cell(int row, int column) const {
  assert(row >= 0 && row < Count() && column >= 0 && column < kColumnCount);
  return rows_[SlotOf(row)].cells[static_cast<size_t>(column)];
}

const RowCells& TrafficList::Cells(int row) const { return rows_[SlotOf(row)].cells; }

bool TrafficList::IsSelected(int row) const { return rows_[SlotOf(row)].selected; }

void TrafficList::IndexRow(uint32_t slot) {
  const Row& row = rows_[slot];
  byRemoteIp_[row.cells[kColumnRemoteIp]].push_back(slot);
  byRemoteHost_[row.cells[kColumnRemoteHost]].push_back(slot);
}

void TrafficList::UnindexRow(uint32_t slot) {
  const Row& row = rows_[slot];
  auto drop = [slot](SlotIndex& index, const std::string& key) {
    auto it = index.find(key);
    if (it == index.end()) return;
    auto& slots = it->second;
    slots.erase(std::remove(slots.begin(), slots.end(), slot), slots.end());
    if (slots.empty()) index.erase(it);
  };
  drop(byRemoteIp_, row.cells[kColumnRemoteIp]);
  drop(byRemoteHost_, row.cells[kColumnRemoteHost]);
}

void TrafficList::RebuildIndices() {
  byRemoteIp_.clear();
  byRemoteHost_.clear();
  for (uint32_t slot = 0; slot < rows_.size(); ++slot) IndexRow(slot);
}

void TrafficList::InsertTop(RowCells cells, int64_t lastActivity) {
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::Insert;
    change.row = 0;
    change.cells = cells;
    pending_.push_back(std::move(change));
  }
  rows_.push_back(Row{std::move(cells), lastActivity, false});
  IndexRow(static_cast<uint32_t>(rows_.size() - 1));
}

void TrafficList::SetCell(int row, int column, std::string text) {
  size_t slot = SlotOf(row);
  Row& r = rows_[slot];
  if (r.cells[static_cast<size_t>(column)] == text) return;
  bool keyColumn = column == kColumnRemoteIp || column == kColumnRemoteHost;
  if (keyColumn) UnindexRow(static_cast<uint32_t>(slot));
  if (column == kColumnLastActivity) r.lastActivity = ParseTimestamp(text);
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::SetCell;
    change.row = row;
    change.column = column;
    change.text = text;
    pending_.push_back(std::move(change));
  }
  r.cells[static_cast<size_t>(column)] = std::move(text);
  if (keyColumn) IndexRow(static_cast<uint32_t>(slot));
}

void TrafficList::SetLastActivity(int row, std::string text, int64_t time) {
  Row& r = rows_[SlotOf(row)];
  r.lastActivity = time;
  if (r.cells[kColumnLastActivity] == text) return;
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::SetCell;
    change.row = row;
    change.column = kColumnLastActivity;
    change.text = text;
    pending_.push_back(std::move(change));
  }
  r.cells[kColumnLastActivity] = std::move(text);
}

void TrafficList::SetSelected(int row, bool selected) {
  Row& r = rows_[SlotOf(row)];
  if (r.selected == selected) return;
  r.selected = selected;
  ListChange change;
  change.kind = selected ? ListChange::Kind::Select : ListChange::Kind::Deselect;
  change.row = row;
  Emit(std::move(change));
}

void TrafficList::Remove(int row) {
  size_t slot = SlotOf(row);
  UnindexRow(static_cast<uint32_t>(slot));
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(slot));
  // Rows above the removed one moved down one slot.
  for (auto* index : {&byRemoteIp_, &byRemoteHost_}) {
    for (auto& [key, slots] : *index) {
      for (uint32_t& s : slots) {
        if (s > slot) --s;
      }
    }
  }
  ListChange change;
  change.kind = ListChange::Kind::Remove;
  change.row = row;
  Emit(std::move(change));
}

void TrafficList::Clear() {
  rows_.clear();
  byRemoteIp_.clear();
  byRemoteHost_.clear();
  if (sink_) {
    // Records of rows that no longer exist would only be applied and thrown
    // away.
    pending_.clear();
    ListChange change;
    change.kind = ListChange::Kind::Clear;
    pending_.push_back(std::move(change));
  }
}

void TrafficList::Reorder(const std::vector<int>& order) {
  assert(order.size() == rows_.size());
  size_t n = rows_.size();
  // The keys stay the same; only their slots move, so the indices are
  // remapped in place rather than rebuilt, and the rows are permuted in
  // place by following cycles (no second copy of a long list).
  std::vector<uint32_t> newSlot(n);
  for (size_t newRow = 0; newRow < n; ++newRow) {
    newSlot[SlotOf(order[newRow])] = static_cast<uint32_t>(n - 1 - newRow);
  }
  std::vector<bool> placed(n, false);
  for (size_t start = 0; start < n; ++start) {
    if (placed[start]) continue;
    // Carry the row of `start` along its cycle.
    Row carried = std::move(rows_[start]);
    size_t slot = start;
    while (true) {
      placed[slot] = true;
      size_t target = newSlot[slot];
      if (target == start) {
        rows_[start] = std::move(carried);
        break;
      }
      std::swap(carried, rows_[target]);
      slot = target;
    }
  }
  for (auto* index : {&byRemoteIp_, &byRemoteHost_}) {
    for (auto& [key, slots] : *index) {
      for (uint32_t& slot : slots) slot = newSlot[slot];
    }
  }
  ListChange change;
  change.kind = ListChange::Kind::Reorder;
  change.order = order;
  Emit(std::move(change));
}

int TrafficList::FindTopmost(const SlotIndex& index, std::string_view key, int column,
                             std::string_view second) const {
  auto it = index.find(key);
  if (it == index.end()) return -1;
  long best = -1;
  for (uint32_t slot : it->second) {
    if (static_cast<long>(slot) <= best) continue;
    if (column >= 0 && rows_[slot].cells[static_cast<size_t>(column)] != second) continue;
    best = slot;
  }
  return best < 0 ? -1 : RowOf(static_cast<size_t>(best));
}

int TrafficList::FindAddressRow(std::string_view addressText, std::string_view localSource) const {
  return FindTopmost(byRemoteIp_, addressText, kColumnLocalSource, localSource);
}

int TrafficList::FindHostRow(std::string_view hostText, std::string_view localSource) const {
  return FindTopmost(byRemoteHost_, hostText, kColumnLocalSource, localSource);
}

int TrafficList::FindRemoteIpRow(std::string_view addressText) const {
  return FindTopmost(byRemoteIp_, addressText, -1, {});
}

void TrafficList::DeselectIdleRows(int64_t now) {
  for (size_t slot = rows_.size(); slot-- > 0;) {
    Row& r = rows_[slot];
    if (!r.selected) continue;
    int64_t age = now - r.lastActivity;
    if (age >= 5 && age <= 8) SetSelected(RowOf(slot), false);
  }
}

std::vector<RowCells> TrafficList::Rows() const {
  std::vector<RowCells> rows;
  rows.reserve(rows_.size());
  for (size_t slot = rows_.size(); slot-- > 0;) rows.push_back(rows_[slot].cells);
  return rows;
}

}  // namespace corvane
