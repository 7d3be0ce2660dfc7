#include "engine/row_filter.h"

#include <cstdlib>
#include <optional>
#include <utility>

#include "vocabulary/text_format.h"

namespace corvane {

void RowFilter::SetFilters(FilterSet filters) {
  TrafficList::Lock lock(list_);
  filters_ = std::move(filters);
  ApplyFiltersToRows();
}

// Rows of flows the rules now hide leave the list at once; rows put aside
// earlier that the rules no longer hide come back, with the counts their
// flows reached meanwhile (flows count on while hidden).
void RowFilter::ApplyFiltersToRows() {
  for (int row = list_.Count() - 1; row >= 0; --row) {
    const RowCells& cells = list_.Cells(row);
    if (!Hides(cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource])) {
      continue;
    }
    hiddenRows_.push_back(HiddenRow{list_.Key(row), cells, list_.Values(row)});
    list_.Remove(row);
  }
  for (size_t i = 0; i < hiddenRows_.size();) {
    HiddenRow& hidden = hiddenRows_[i];
    RowCells& cells = hidden.cells;
    if (Hides(cells[kColumnRemoteIp], cells[kColumnRemoteHost], cells[kColumnLocalSource])) {
      ++i;
      continue;
    }
    const std::optional<FlowCounts> counts =
        hidden.key.IsProxy() ? flows_.LookupProxyFlow(cells[kColumnRemoteHost], hidden.key.labelId)
                             : flows_.LookupAddressFlow(hidden.key.remoteAddress, hidden.key.labelId);
    // A flow cleared meanwhile was saved with the rest of the day: its row
    // does not come back.
    if (counts && list_.FindRow(hidden.key) < 0) {
      hidden.values.downloadBytes = counts->downloadBytes;
      hidden.values.uploadBytes = counts->uploadBytes;
      cells[kColumnDownload] = FormatByteCount(counts->downloadBytes);
      cells[kColumnUpload] = FormatByteCount(counts->uploadBytes);
      cells[kColumnTotal] = FormatByteCount(counts->downloadBytes + counts->uploadBytes);
      list_.InsertTop(hidden.key, std::move(cells), hidden.values);
    }
    hiddenRows_[i] = std::move(hiddenRows_.back());
    hiddenRows_.pop_back();
  }
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
