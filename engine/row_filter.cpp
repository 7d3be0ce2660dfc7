#include "engine/row_filter.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>

#include "vocabulary/text_format.h"

namespace corvane {

size_t RowFilter::KeyHash::operator()(const RowKey& key) const noexcept {
  size_t hash = IpAddressHash()(key.remoteAddress);
  hash ^= (static_cast<size_t>(key.hostId) * 0x9e3779b97f4a7c15ull) + (hash << 6) + (hash >> 2);
  hash ^= (static_cast<size_t>(key.labelId) * 0xc2b2ae3d27d4eb4full) + (hash << 6) + (hash >> 2);
  return hash;
}

void RowFilter::SetFilters(FilterSet filters) {
  {
    TrafficList::Lock lock(list_);
    filters_ = std::move(filters);
    ApplyFiltersToRows();
  }
  list_.Publish();
}

// Rows of flows the rules now hide leave the list at once; rows put aside
// that the rules no longer hide come back, with the counts their flows
// reached meanwhile (flows count on while hidden) and their own first
// activity.
void RowFilter::ApplyFiltersToRows() {
  for (int row = list_.Count() - 1; row >= 0; --row) {
    const RowTexts& texts = list_.Texts(row);
    if (Hides(texts.address, texts.host, texts.source)) HideRow(list_, row);
  }
  std::vector<std::pair<uint64_t, RowKey>> shown;
  for (auto& [key, hidden] : hiddenRows_) {
    if (!Hides(hidden.texts.address, hidden.texts.host, hidden.texts.source)) {
      shown.emplace_back(hidden.order, key);
    }
  }
  // In the order they were put aside: the latest ends on top.
  std::sort(shown.begin(), shown.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [order, key] : shown) {
    auto it = hiddenRows_.find(key);
    HiddenRow& hidden = it->second;
    const std::optional<FlowCounts> counts =
        key.IsProxy() ? flows_.LookupProxyFlow(hidden.texts.host, key.labelId)
                      : flows_.LookupAddressFlow(key.remoteAddress, key.labelId);
    // A flow cleared meanwhile was saved with the rest of the day: its row
    // does not come back.
    if (counts && list_.FindRow(key) < 0) {
      hidden.values.downloadBytes = counts->downloadBytes;
      hidden.values.uploadBytes = counts->uploadBytes;
      list_.Insert(key, std::move(hidden.texts), hidden.values);
    }
    hiddenRows_.erase(it);
  }
}

void RowFilter::NoteHiddenFlow(const TrafficList& list, const RowKey& key, RowTexts texts,
                               const RowValues& values) {
  IsOurList(list);
  auto [it, added] = hiddenRows_.try_emplace(key);
  if (added) {
    it->second = HiddenRow{std::move(texts), values, hiddenCount_++};
  } else {
    UpdateHiddenFlow(list, key, values);
  }
}

bool RowFilter::UpdateHiddenFlow(const TrafficList& list, const RowKey& key,
                                 const RowValues& values) {
  IsOurList(list);
  if (hiddenRows_.empty()) return false;
  auto it = hiddenRows_.find(key);
  if (it == hiddenRows_.end()) return false;
  RowValues& kept = it->second.values;
  kept.downloadBytes = values.downloadBytes;
  kept.uploadBytes = values.uploadBytes;
  kept.lastActivity = std::max(kept.lastActivity, values.lastActivity);
  return true;
}

void RowFilter::HideRow(TrafficList& list, int row) {
  IsOurList(list);
  const RowKey key = list.Key(row);
  hiddenRows_.insert_or_assign(key, HiddenRow{list.Texts(row), list.Values(row), hiddenCount_++});
  list.Remove(row);
}

std::vector<RowCells> RowFilter::HiddenRows(const TrafficList& list) const {
  IsOurList(list);
  std::vector<const HiddenRow*> rows;
  rows.reserve(hiddenRows_.size());
  for (const auto& entry : hiddenRows_) rows.push_back(&entry.second);
  std::sort(rows.begin(), rows.end(),
            [](const HiddenRow* a, const HiddenRow* b) { return a->order > b->order; });
  std::vector<RowCells> cells;
  cells.reserve(rows.size());
  for (const HiddenRow* row : rows) cells.push_back(CellsOf(row->texts, row->values));
  return cells;
}

const RowValues* RowFilter::HiddenValues(const TrafficList& list, const RowKey& key) const {
  IsOurList(list);
  auto it = hiddenRows_.find(key);
  return it == hiddenRows_.end() ? nullptr : &it->second.values;
}

void RowFilter::IsOurList(const TrafficList& list) const {
  if (&list != &list_) std::abort();
}

bool RowFilter::IsHidden(const TrafficList& list, std::string_view addressText,
                         std::string_view hostText, std::string_view localSource) const {
  IsOurList(list);
  return Hides(addressText, hostText, localSource);
}

void RowFilter::ForgetHiddenRows(const TrafficList& list) {
  IsOurList(list);
  hiddenRows_.clear();
}

bool RowFilter::Hides(std::string_view addressText, std::string_view hostText,
                      std::string_view localSource) const {
  return MatchFilters(filters_, addressText, hostText, localSource);
}

}  // namespace corvane
