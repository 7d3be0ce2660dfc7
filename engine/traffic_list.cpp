#include "engine/traffic_list.h"

#include <algorithm>
#include <cassert>

#include "engine/flat_hash.h"
#include "engine/row_order.h"
#include "vocabulary/text_format.h"

namespace corvane {

RowCells CellsOf(const RowTexts& texts, const RowValues& values) {
  return RowCells{texts.address,
                  texts.host,
                  FormatByteCount(values.downloadBytes),
                  FormatByteCount(values.uploadBytes),
                  FormatByteCount(values.downloadBytes + values.uploadBytes),
                  texts.source,
                  FormatTimestamp(values.firstActivity),
                  FormatTimestamp(values.lastActivity)};
}

const std::string* TextOfColumn(const RowTexts& texts, int column) {
  switch (column) {
    case kColumnRemoteIp: return &texts.address;
    case kColumnRemoteHost: return &texts.host;
    case kColumnLocalSource: return &texts.source;
    default: return nullptr;
  }
}

// --- KeyIndex ---

uint32_t TrafficList::KeyIndex::Hash(const RowKey& key) {
  uint64_t h = MixHash(FlowKey::Of(key.remoteAddress, key.labelId)) ^ MixHash(key.hostId + 1);
  return static_cast<uint32_t>(h);
}

void TrafficList::KeyIndex::Place(const Entry& entry) {
  const size_t mask = entries_.size() - 1;
  size_t i = entry.hash & mask;
  while (entries_[i].id != kNone) i = (i + 1) & mask;
  entries_[i] = entry;
}

void TrafficList::KeyIndex::Insert(const RowKey& key, uint32_t id) {
  if ((size_ + 1) * 2 > entries_.size()) {
    decltype(entries_) old;
    old.swap(entries_);
    entries_.assign(old.empty() ? 256 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.id != kNone) Place(entry);
    }
  }
  Place(Entry{Hash(key), id});
  ++size_;
}

uint32_t TrafficList::KeyIndex::Find(const RowKey& key, const RowStore& rows) const {
  if (entries_.empty()) return kNone;
  const size_t mask = entries_.size() - 1;
  const uint32_t hash = Hash(key);
  for (size_t i = hash & mask; entries_[i].id != kNone; i = (i + 1) & mask) {
    if (entries_[i].hash == hash && rows[entries_[i].id].key == key) return entries_[i].id;
  }
  return kNone;
}

void TrafficList::KeyIndex::Prefetch(const RowKey& key) const {
  if (!entries_.empty()) __builtin_prefetch(&entries_[Hash(key) & (entries_.size() - 1)]);
}

void TrafficList::KeyIndex::PrefetchRow(const RowKey& key, const RowStore& rows) const {
  if (entries_.empty()) return;
  const uint32_t hash = Hash(key);
  const Entry& entry = entries_[hash & (entries_.size() - 1)];
  if (entry.id == kNone || entry.hash != hash) return;
  const char* row = reinterpret_cast<const char*>(&rows[entry.id]);
  for (size_t line = 0; line < sizeof(RowState); line += 64) __builtin_prefetch(row + line);
  __builtin_prefetch(row + sizeof(RowState) - 1);
}

void TrafficList::KeyIndex::Erase(const RowKey& key, const RowStore& rows) {
  if (entries_.empty()) return;
  const size_t mask = entries_.size() - 1;
  const uint32_t hash = Hash(key);
  size_t hole = hash & mask;
  while (entries_[hole].id == kNone || entries_[hole].hash != hash ||
         !(rows[entries_[hole].id].key == key)) {
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

// --- TrafficList ---

void TrafficList::SetChangeSink(ChangeSink sink) {
  MutexLock publish(publishMutex_);
  MutexLock lock(listMutex_);
  sink_ = std::move(sink);
  recording_ = static_cast<bool>(sink_);
  pending_.clear();
}

void TrafficList::Publish() {
  MutexLock publish(publishMutex_);
  std::vector<ListChange> changes;
  {
    MutexLock lock(listMutex_);
    changes.swap(pending_);
  }
  // Outside listMutex: the sink may take its own locks, and the list is
  // free for the next change meanwhile. publishMutex_ keeps the batches of
  // two threads in the order they were taken.
  if (!changes.empty() && sink_) sink_(std::move(changes));
}

void TrafficList::Emit(ListChange&& change) {
  if (recording_) pending_.push_back(std::move(change));
}

void TrafficList::EmitCounts(uint32_t id) {
  if (!recording_) return;
  ListChange change;
  change.kind = ListChange::Kind::Counts;
  change.id = id;
  change.values = state_[id].values;
  pending_.push_back(std::move(change));
}

std::string TrafficList::Cell(int row, int column) const {
  assert(row >= 0 && row < Count() && column >= 0 && column < kColumnCount);
  const RowState& state = state_[IdOf(row)];
  if (const std::string* text = TextOfColumn(state.texts, column)) return *text;
  return CellsOf(state.texts, state.values)[static_cast<size_t>(column)];
}

RowCells TrafficList::Cells(int row) const {
  const RowState& state = state_[IdOf(row)];
  return CellsOf(state.texts, state.values);
}

const RowTexts& TrafficList::Texts(int row) const { return state_[IdOf(row)].texts; }

std::string_view TrafficList::HostName(int row) const {
  const RowState& state = state_[IdOf(row)];
  return state.named ? std::string_view(state.texts.host) : std::string_view();
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

uint32_t TrafficList::NewRow(RowTexts&& texts, const RowValues& values) {
  uint32_t id;
  if (!freeIds_.empty()) {
    id = freeIds_.back();
    freeIds_.pop_back();
  } else {
    id = static_cast<uint32_t>(state_.size());
    state_.emplace_back();
  }
  // A row's state is the default one until it is used: Remove() and
  // Clear() leave it so.
  RowState& state = state_[id];
  state.slot = static_cast<uint32_t>(order_.size());
  state.values = values;
  state.named = texts.host != texts.address;
  state.texts = std::move(texts);
  order_.push_back(id);
  return id;
}

void TrafficList::InsertTop(const RowKey& key, RowTexts texts, const RowValues& values) {
  const uint32_t id = NewRow(std::move(texts), values);
  RowState& state = state_[id];
  state.keyed = true;
  state.key = key;
  byKey_.Insert(key, id);
  if (recording_) {
    ListChange change;
    change.kind = ListChange::Kind::Insert;
    change.id = id;
    change.key = key;
    change.values = values;
    change.texts = state.texts;
    pending_.push_back(std::move(change));
  }
}

int TrafficList::Insert(const RowKey& key, RowTexts texts, const RowValues& values) {
  // The first row from the top that the new row comes before; rows that
  // changed since the sort leave the list only nearly sorted, which still
  // gives a place.
  int low = 0;
  int high = sortColumn_ < 0 ? 0 : Count();
  const std::string* newText = TextOfColumn(texts, sortColumn_);
  const std::string_view newView = newText ? std::string_view(*newText) : std::string_view();
  while (low < high) {
    const int middle = low + (high - low) / 2;
    const RowState& row = state_[IdOf(middle)];
    const std::string* text = TextOfColumn(row.texts, sortColumn_);
    const std::string_view view = text ? std::string_view(*text) : std::string_view();
    const bool rowAbove = sortSmallestFirst_
                              ? RowComesFirst(sortColumn_, newView, values, view, row.values)
                              : RowComesFirst(sortColumn_, view, row.values, newView, values);
    if (rowAbove) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  InsertTop(key, std::move(texts), values);
  if (low == 0) return 0;
  // Move the new id from the top slot down to its place.
  const size_t top = order_.size() - 1;
  const size_t slot = top - static_cast<size_t>(low);
  const uint32_t id = order_[top];
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(top));
  order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(slot), id);
  for (size_t s = slot; s < order_.size(); ++s) state_[order_[s]].slot = static_cast<uint32_t>(s);
  return low;
}

void TrafficList::InsertTop(const RowCells& cells, int64_t lastActivity) {
  RowValues values = ValuesOfCells(cells);
  values.lastActivity = lastActivity;
  const uint32_t id = NewRow(
      RowTexts{cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource]}, values);
  if (recording_) {
    ListChange change;
    change.kind = ListChange::Kind::Insert;
    change.id = id;
    change.values = values;
    change.texts = state_[id].texts;
    pending_.push_back(std::move(change));
  }
}

void TrafficList::SetCell(int row, int column, std::string_view text) {
  const uint32_t id = IdOf(row);
  RowState& state = state_[id];
  RowTexts& texts = state.texts;
  std::string* cell = column == kColumnRemoteIp     ? &texts.address
                      : column == kColumnRemoteHost ? &texts.host
                      : column == kColumnLocalSource ? &texts.source
                                                     : nullptr;
  if (cell) {
    if (*cell == text) return;
    cell->assign(text);
    state.named = texts.host != texts.address;
    if (recording_) {
      ListChange change;
      change.kind = ListChange::Kind::Text;
      change.id = id;
      change.column = column;
      change.text = text;
      pending_.push_back(std::move(change));
    }
    return;
  }
  RowValues& values = state.values;
  const RowValues before = values;
  switch (column) {
    case kColumnDownload: values.downloadBytes = static_cast<uint64_t>(ByteCountValue(text).value_or(0)); break;
    case kColumnUpload: values.uploadBytes = static_cast<uint64_t>(ByteCountValue(text).value_or(0)); break;
    case kColumnFirstActivity: values.firstActivity = ParseTimestamp(text); break;
    case kColumnLastActivity: values.lastActivity = ParseTimestamp(text); break;
    default: break;  // "DL & UL" is the sum of the two
  }
  if (before.downloadBytes != values.downloadBytes || before.uploadBytes != values.uploadBytes ||
      before.firstActivity != values.firstActivity || before.lastActivity != values.lastActivity) {
    EmitCounts(id);
  }
}

void TrafficList::SetCounts(int row, uint64_t downloadBytes, uint64_t uploadBytes,
                            int64_t lastTime) {
  const uint32_t id = IdOf(row);
  RowValues& values = state_[id].values;
  if (values.downloadBytes == downloadBytes && values.uploadBytes == uploadBytes &&
      values.lastActivity == lastTime) {
    return;
  }
  values.downloadBytes = downloadBytes;
  values.uploadBytes = uploadBytes;
  values.lastActivity = lastTime;
  EmitCounts(id);
}

void TrafficList::SetLastActivity(int row, int64_t time) {
  const uint32_t id = IdOf(row);
  if (state_[id].values.lastActivity == time) return;
  state_[id].values.lastActivity = time;
  EmitCounts(id);
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
  change.kind = ListChange::Kind::Mark;
  change.id = id;
  change.marked = selected;
  Emit(std::move(change));
}

void TrafficList::Remove(int row) {
  const uint32_t id = IdOf(row);
  const uint32_t slot = state_[id].slot;
  if (state_[id].keyed) byKey_.Erase(state_[id].key, state_);
  if (state_[id].selectedAt != kNone) Unselect(id);
  order_.erase(order_.begin() + slot);
  // Rows above the removed one moved down one slot.
  for (uint32_t s = slot; s < order_.size(); ++s) state_[order_[s]].slot = s;
  state_[id] = RowState{};
  freeIds_.push_back(id);
  ListChange change;
  change.kind = ListChange::Kind::Remove;
  change.id = id;
  Emit(std::move(change));
}

void TrafficList::Clear() {
  state_.clear();
  freeIds_.clear();
  order_.clear();
  selected_.clear();
  byKey_.Clear();
  if (recording_) {
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
  // Only ids move: the rows and the key index stay where they are.
  const size_t n = order_.size();
  std::vector<uint32_t> reordered(n);
  for (size_t newRow = 0; newRow < n; ++newRow) {
    reordered[n - 1 - newRow] = IdOf(order[newRow]);
  }
  order_.swap(reordered);
  for (uint32_t s = 0; s < n; ++s) state_[order_[s]].slot = s;
}

int TrafficList::FindRow(const RowKey& key) const {
  const uint32_t id = byKey_.Find(key, state_);
  return id == kNone ? -1 : RowOfSlot(state_[id].slot);
}

int TrafficList::FindRemoteIpRow(std::string_view addressText,
                                 std::string_view localSource) const {
  for (int row = 0; row < Count(); ++row) {
    const RowTexts& texts = Texts(row);
    if (texts.address == addressText && (localSource.empty() || texts.source == localSource)) {
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
  for (size_t slot = order_.size(); slot-- > 0;) {
    const RowState& state = state_[order_[slot]];
    rows.push_back(CellsOf(state.texts, state.values));
  }
  return rows;
}

}  // namespace corvane
