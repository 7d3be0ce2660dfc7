#include "engine/traffic_list.h"

#include <algorithm>
#include <cassert>

#include "engine/flat_hash.h"
#include "vocabulary/text_format.h"

namespace corvane {

TrafficList::Lock::Lock(TrafficList& list) : list_(list), lock_(list.listMutex_) {}

// The check cannot see that the mutex is still held here: lock_, a member,
// releases it only after this body, so the records go to the sink inside it.
TrafficList::Lock::~Lock() NO_THREAD_SAFETY_ANALYSIS {
  if (!list_.pending_.empty() && list_.sink_) {
    std::vector<ListChange> changes;
    changes.swap(list_.pending_);
    list_.sink_(std::move(changes));
  }
}

// --- KeyIndex ---

size_t TrafficList::KeyIndex::Home(const RowKey& key, size_t mask) {
  uint64_t h = MixHash(FlowKey::Of(key.remoteAddress, key.labelId)) ^ MixHash(key.hostId + 1);
  return static_cast<size_t>(h) & mask;
}

void TrafficList::KeyIndex::Place(const Entry& entry) {
  const size_t mask = entries_.size() - 1;
  size_t i = Home(entry.key, mask);
  while (entries_[i].id != kNone) i = (i + 1) & mask;
  entries_[i] = entry;
}

void TrafficList::KeyIndex::Insert(const RowKey& key, uint32_t id) {
  if ((size_ + 1) * 2 > entries_.size()) {
    std::vector<Entry> old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 256 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.id != kNone) Place(entry);
    }
  }
  Place(Entry{key, id});
  ++size_;
}

uint32_t TrafficList::KeyIndex::Find(const RowKey& key) const {
  if (entries_.empty()) return kNone;
  const size_t mask = entries_.size() - 1;
  for (size_t i = Home(key, mask); entries_[i].id != kNone; i = (i + 1) & mask) {
    if (entries_[i].key == key) return entries_[i].id;
  }
  return kNone;
}

void TrafficList::KeyIndex::Erase(const RowKey& key) {
  if (entries_.empty()) return;
  const size_t mask = entries_.size() - 1;
  size_t hole = Home(key, mask);
  while (entries_[hole].id == kNone || !(entries_[hole].key == key)) {
    if (entries_[hole].id == kNone) return;
    hole = (hole + 1) & mask;
  }
  // Move later entries of the cluster back into the hole unless their home
  // lies cyclically after the hole (they would then be unreachable).
  for (size_t j = (hole + 1) & mask; entries_[j].id != kNone; j = (j + 1) & mask) {
    size_t home = Home(entries_[j].key, mask);
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
  MutexLock lock(listMutex_);
  sink_ = std::move(sink);
  pending_.clear();
}

void TrafficList::Emit(ListChange&& change) {
  if (sink_) pending_.push_back(std::move(change));
}

const std::string& TrafficList::Cell(int row, int column) const {
  assert(row >= 0 && row < Count() && column >= 0 && column < kColumnCount);
  return TextsOf(IdOf(row))[static_cast<size_t>(column)];
}

const RowCells& TrafficList::Cells(int row) const { return TextsOf(IdOf(row)); }

const RowCells& TrafficList::TextsOf(uint32_t id) const {
  RowState& state = state_[id];
  RowCells& cells = cells_[id];
  if (state.textsStale) {
    state.textsStale = false;
    const RowValues& values = state.values;
    cells[kColumnDownload] = FormatByteCount(values.downloadBytes);
    cells[kColumnUpload] = FormatByteCount(values.uploadBytes);
    cells[kColumnTotal] = FormatByteCount(values.downloadBytes + values.uploadBytes);
    cells[kColumnLastActivity] = FormatTimestamp(values.lastActivity);
  }
  return cells;
}

bool TrafficList::IsSelected(int row) const { return state_[IdOf(row)].selectedAt != kNone; }

const RowValues& TrafficList::Values(int row) const { return state_[IdOf(row)].values; }

const RowKey& TrafficList::Key(int row) const { return state_[IdOf(row)].key; }

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

uint32_t TrafficList::NewRow(RowCells&& cells) {
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
  state_[id] = RowState{};
  state_[id].slot = static_cast<uint32_t>(order_.size());
  order_.push_back(id);
  return id;
}

void TrafficList::InsertTop(const RowKey& key, RowCells cells, const RowValues& values) {
  const uint32_t id = NewRow(std::move(cells));
  if (sink_) {
    pending_.back().bytes = values.downloadBytes + values.uploadBytes;
    pending_.back().key = key;
  }
  state_[id].keyed = true;
  state_[id].key = key;
  state_[id].values = values;
  byKey_.Insert(key, id);
}


void TrafficList::InsertTop(RowCells cells, int64_t lastActivity) {
  RowValues values = ValuesOfCells(cells);
  values.lastActivity = lastActivity;
  const uint32_t id = NewRow(std::move(cells));
  state_[id].values = values;
}

bool TrafficList::SetText(uint32_t id, int row, int column, std::string_view text) {
  std::string& cell = cells_[id][static_cast<size_t>(column)];
  if (cell == text) return false;
  if (sink_) {
    ListChange change;
    change.kind = ListChange::Kind::SetCell;
    change.row = row;
    change.column = column;
    change.text = text;
    pending_.push_back(std::move(change));
  }
  // Reuses the cell's buffer: a timestamp is too long to be stored inline.
  cell.assign(text);
  return true;
}

void TrafficList::SetCell(int row, int column, std::string text) {
  const uint32_t id = IdOf(row);
  TextsOf(id);
  if (!SetText(id, row, column, text)) return;
  RowValues& values = state_[id].values;
  switch (column) {
    case kColumnDownload: values.downloadBytes = static_cast<uint64_t>(ByteCountValue(text).value_or(0)); break;
    case kColumnUpload: values.uploadBytes = static_cast<uint64_t>(ByteCountValue(text).value_or(0)); break;
    case kColumnFirstActivity: values.firstActivity = ParseTimestamp(text); break;
    case kColumnLastActivity: values.lastActivity = ParseTimestamp(text); break;
    default: break;
  }
}

void TrafficList::SetCounts(int row, uint64_t downloadBytes, uint64_t uploadBytes,
                            int64_t lastTime, std::string_view lastText) {
  const uint32_t id = IdOf(row);
  RowValues& values = state_[id].values;
  if (!sink_) {
    values.downloadBytes = downloadBytes;
    values.uploadBytes = uploadBytes;
    values.lastActivity = lastTime;
    state_[id].textsStale = true;
    return;
  }
  TextsOf(id);
  if (values.downloadBytes + values.uploadBytes != downloadBytes + uploadBytes) {
    ListChange change;
    change.kind = ListChange::Kind::Counts;
    change.row = row;
    change.bytes = downloadBytes + uploadBytes;
    pending_.push_back(std::move(change));
  }
  if (values.downloadBytes != downloadBytes) {
    values.downloadBytes = downloadBytes;
    SetText(id, row, kColumnDownload, FormatByteCount(downloadBytes));
  }
  if (values.uploadBytes != uploadBytes) {
    values.uploadBytes = uploadBytes;
    SetText(id, row, kColumnUpload, FormatByteCount(uploadBytes));
  }
  SetText(id, row, kColumnTotal, FormatByteCount(downloadBytes + uploadBytes));
  values.lastActivity = lastTime;
  SetText(id, row, kColumnLastActivity, lastText);
}

void TrafficList::SetLastActivity(int row, std::string_view text, int64_t time) {
  const uint32_t id = IdOf(row);
  TextsOf(id);
  state_[id].values.lastActivity = time;
  SetText(id, row, kColumnLastActivity, text);
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
  if (state_[id].keyed) byKey_.Erase(state_[id].key);
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
  byKey_.Clear();
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

int TrafficList::FindRow(const RowKey& key) const {
  const uint32_t id = byKey_.Find(key);
  return id == kNone ? -1 : RowOfSlot(state_[id].slot);
}

int TrafficList::FindRemoteIpRow(std::string_view addressText,
                                 std::string_view localSource) const {
  for (int row = 0; row < Count(); ++row) {
    if (Cell(row, kColumnRemoteIp) == addressText &&
        (localSource.empty() || Cell(row, kColumnLocalSource) == localSource)) {
      return row;
    }
  }
  return -1;
}

void TrafficList::DeselectIdleRows(int64_t now) {
  // Only marked rows are visited; the marks are cleared from the top down.
  std::vector<uint32_t> idleSlots;
  for (uint32_t id : selected_) {
    int64_t age = now - state_[id].values.lastActivity;
    if (age >= 5 && age <= 8) idleSlots.push_back(state_[id].slot);
  }
  std::sort(idleSlots.begin(), idleSlots.end(), std::greater<>());
  for (uint32_t slot : idleSlots) SetSelected(RowOfSlot(slot), false);
}

std::vector<RowCells> TrafficList::Rows() const {
  std::vector<RowCells> rows;
  rows.reserve(order_.size());
  for (size_t slot = order_.size(); slot-- > 0;) rows.push_back(TextsOf(order_[slot]));
  return rows;
}

}  // namespace corvane
