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

// --- KeyIndex ---

void TrafficList::KeyIndex::Place(Entry entry) {
  const size_t mask = entries_.size() - 1;
  size_t i = entry.hash & mask;
  while (entries_[i].id != kNone) i = (i + 1) & mask;
  entries_[i] = entry;
}

void TrafficList::KeyIndex::Insert(uint32_t hash, uint32_t id) {
  if ((size_ + 1) * 2 > entries_.size()) {
    std::vector<Entry> old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 256 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.id != kNone) Place(entry);
    }
  }
  Place(Entry{hash, id});
  ++size_;
}

void TrafficList::KeyIndex::Erase(uint32_t hash, uint32_t id) {
  if (entries_.empty()) return;
  const size_t mask = entries_.size() - 1;
  size_t hole = hash & mask;
  while (entries_[hole].id != id) {
    if (entries_[hole].id == kNone) return;
    hole = (hole + 1) & mask;
  }
  // Move later entries of the cluster back into the hole unless their home
  // lies cyclically after the hole (they would then be unreachable).
  for (size_t j = (hole + 1) & mask; entries_[j].id != kNone; j = (j + 1) & mask) {
    size_t home = entries_[j].hash & mask;
    bool homeAfterHole = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (homeAfterHole) continue;
    entries_[hole] = entries_[j];
    hole = j;
  }
  entries_[hole] = Entry{};
  --size_;
}

void TrafficList::KeyIndex::Clear() {
  entries_.clear();
  entries_.shrink_to_fit();
  size_ = 0;
}

// --- RowStore ---

void TrafficList::RowStore::push_back(RowCells&& cells) {
  if (size_ % kBlockRows == 0 && size_ / kBlockRows == blocks_.size()) {
    blocks_.push_back(std::make_unique<RowCells[]>(kBlockRows));
  }
  (*this)[size_++] = std::move(cells);
}

void TrafficList::RowStore::clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  size_ = 0;
}

// --- TrafficList ---

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
  return cells_[IdOf(row)][static_cast<size_t>(column)];
}

const RowCells& TrafficList::Cells(int row) const { return cells_[IdOf(row)]; }

bool TrafficList::IsSelected(int row) const { return state_[IdOf(row)].selectedAt != kNone; }

void TrafficList::IndexRow(uint32_t id) {
  const RowCells& cells = cells_[id];
  byRemoteIp_.Insert(KeyIndex::Hash(cells[kColumnRemoteIp]), id);
  byRemoteHost_.Insert(KeyIndex::Hash(cells[kColumnRemoteHost]), id);
}

void TrafficList::UnindexRow(uint32_t id) {
  const RowCells& cells = cells_[id];
  byRemoteIp_.Erase(KeyIndex::Hash(cells[kColumnRemoteIp]), id);
  byRemoteHost_.Erase(KeyIndex::Hash(cells[kColumnRemoteHost]), id);
}

void TrafficList::Select(uint32_t id) {
  state_[id].selectedAt = static_cast<uint32_t>(selected_.size());
  selected_.push_back(id);
}

void TrafficList::Unselect(uint32_t id) {
  uint32_t at = state_[id].selectedAt;
  uint32_t last = selected_.back();
  selected_[at] = last;
  state_[last].selectedAt = at;
  selected_.pop_back();
  state_[id].selectedAt = kNone;
}

void TrafficList::InsertTop(RowCells cells, int64_t lastActivity) {
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::Insert;
    change.row = 0;
    change.cells = cells;
    pending_.push_back(std::move(change));
  }
  uint32_t id;
  if (!freeIds_.empty()) {
    id = freeIds_.back();
    freeIds_.pop_back();
    cells_[id] = std::move(cells);
  } else {
    id = static_cast<uint32_t>(cells_.size());
    cells_.push_back(std::move(cells));
    state_.emplace_back();
  }
  state_[id] = RowState{static_cast<uint32_t>(order_.size()), kNone, lastActivity};
  order_.push_back(id);
  IndexRow(id);
}

void TrafficList::SetCell(int row, int column, std::string text) {
  const uint32_t id = IdOf(row);
  std::string& cell = cells_[id][static_cast<size_t>(column)];
  if (cell == text) return;
  bool keyColumn = column == kColumnRemoteIp || column == kColumnRemoteHost;
  if (keyColumn) UnindexRow(id);
  if (column == kColumnLastActivity) state_[id].lastActivity = ParseTimestamp(text);
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::SetCell;
    change.row = row;
    change.column = column;
    change.text = text;
    pending_.push_back(std::move(change));
  }
  cell = std::move(text);
  if (keyColumn) IndexRow(id);
}

void TrafficList::SetLastActivity(int row, std::string_view text, int64_t time) {
  const uint32_t id = IdOf(row);
  state_[id].lastActivity = time;
  std::string& cell = cells_[id][kColumnLastActivity];
  if (cell == text) return;
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::SetCell;
    change.row = row;
    change.column = kColumnLastActivity;
    change.text = text;
    pending_.push_back(std::move(change));
  }
  // Reuses the cell's buffer: a timestamp is too long to be stored inline.
  cell.assign(text);
}

void TrafficList::SetSelected(int row, bool selected) {
  const uint32_t id = IdOf(row);
  if ((state_[id].selectedAt != kNone) == selected) return;
  if (selected) {
    Select(id);
  } else {
    Unselect(id);
  }
  ListChange change;
  change.kind = selected ? ListChange::Kind::Select : ListChange::Kind::Deselect;
  change.row = row;
  Emit(std::move(change));
}

void TrafficList::Remove(int row) {
  const uint32_t id = IdOf(row);
  const uint32_t slot = state_[id].slot;
  UnindexRow(id);
  if (state_[id].selectedAt != kNone) Unselect(id);
  order_.erase(order_.begin() + slot);
  // Rows above the removed one moved down one slot.
  for (uint32_t s = slot; s < order_.size(); ++s) state_[order_[s]].slot = s;
  state_[id] = RowState{};
  cells_[id] = RowCells{};
  freeIds_.push_back(id);
  ListChange change;
  change.kind = ListChange::Kind::Remove;
  change.row = row;
  Emit(std::move(change));
}

void TrafficList::Clear() {
  cells_.clear();
  state_.clear();
  state_.shrink_to_fit();
  freeIds_.clear();
  order_.clear();
  selected_.clear();
  byRemoteIp_.Clear();
  byRemoteHost_.Clear();
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
  assert(order.size() == order_.size());
  // Only ids move: the rows and the key indices stay where they are.
  const size_t n = order_.size();
  std::vector<uint32_t> reordered(n);
  for (size_t newRow = 0; newRow < n; ++newRow) {
    reordered[n - 1 - newRow] = IdOf(order[newRow]);
  }
  order_.swap(reordered);
  for (uint32_t s = 0; s < n; ++s) state_[order_[s]].slot = s;
  ListChange change;
  change.kind = ListChange::Kind::Reorder;
  change.order = order;
  Emit(std::move(change));
}

int TrafficList::FindTopmost(const KeyIndex& index, int keyColumn, std::string_view key, int column,
                             std::string_view second) const {
  // The row's slot is read only when a second row matches: one match is
  // the common case.
  uint32_t bestId = kNone;
  index.ForEachCandidate(KeyIndex::Hash(key), [&](uint32_t id) {
    const RowCells& cells = cells_[id];
    if (cells[static_cast<size_t>(keyColumn)] != key) return;
    if (column >= 0 && cells[static_cast<size_t>(column)] != second) return;
    if (bestId == kNone || state_[id].slot > state_[bestId].slot) bestId = id;
  });
  return bestId == kNone ? -1 : RowOfSlot(state_[bestId].slot);
}

int TrafficList::FindAddressRow(std::string_view addressText, std::string_view localSource) const {
  return FindTopmost(byRemoteIp_, kColumnRemoteIp, addressText, kColumnLocalSource, localSource);
}

int TrafficList::FindHostRow(std::string_view hostText, std::string_view localSource) const {
  return FindTopmost(byRemoteHost_, kColumnRemoteHost, hostText, kColumnLocalSource, localSource);
}

int TrafficList::FindRemoteIpRow(std::string_view addressText) const {
  return FindTopmost(byRemoteIp_, kColumnRemoteIp, addressText, -1, {});
}

int TrafficList::FindUnnamedRow(std::string_view addressText) const {
  return FindTopmost(byRemoteIp_, kColumnRemoteIp, addressText, kColumnRemoteHost, addressText);
}

void TrafficList::DeselectIdleRows(int64_t now) {
  // Only marked rows are visited; the marks are cleared from the top down.
  std::vector<uint32_t> idleSlots;
  for (uint32_t id : selected_) {
    int64_t age = now - state_[id].lastActivity;
    if (age >= 5 && age <= 8) idleSlots.push_back(state_[id].slot);
  }
  std::sort(idleSlots.begin(), idleSlots.end(), std::greater<>());
  for (uint32_t slot : idleSlots) SetSelected(RowOfSlot(slot), false);
}

std::vector<RowCells> TrafficList::Rows() const {
  std::vector<RowCells> rows;
  rows.reserve(order_.size());
  for (size_t slot = order_.size(); slot-- > 0;) rows.push_back(cells_[order_[slot]]);
  return rows;
}

}  // namespace corvane
