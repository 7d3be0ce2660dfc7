// The filters as the traffic list applies them: which flows the list hides,
// and the rows a change of the rules took out, kept with their texts so
// that they come back when the rule goes.
//
// Everything runs under the list's lock: IsHidden() and ForgetHiddenRows()
// require it (the caller names the list it locked, which must be this
// filter's), SetFilters() takes it.
#pragma once

#include <string_view>
#include <vector>

#include "engine/flow_table.h"
#include "engine/traffic_list.h"
#include "filters/filter_set.h"
#include "platform/thread_annotations.h"
#include "vocabulary/rows.h"

namespace corvane {

class RowFilter {
 public:
  RowFilter(TrafficList& list, const FlowTable& flows) : list_(list), flows_(flows) {}

  // Replaces the active filters; no match runs meanwhile. Rows the new rules
  // hide leave the list at once; rows an earlier change hid and these rules
  // show come back with their flows' counts.
  void SetFilters(FilterSet filters) EXCLUDES(list_.mutex());
  // True when the filters hide this flow.
  bool IsHidden(const TrafficList& list, std::string_view addressText, std::string_view hostText,
                std::string_view localSource) const REQUIRES(list.mutex());
  // The list was cleared (and saved): no hidden row comes back.
  void ForgetHiddenRows(const TrafficList& list) REQUIRES(list.mutex());

 private:
  // Checks that `list` is this filter's list, so that whoever holds its
  // lock holds the lock of the filter's rules too.
  void IsOurList(const TrafficList& list) const ASSERT_CAPABILITY(list_.mutex());
  bool Hides(std::string_view addressText, std::string_view hostText,
             std::string_view localSource) const REQUIRES(list_.mutex());
  void ApplyFiltersToRows() REQUIRES(list_.mutex());

  TrafficList& list_;
  const FlowTable& flows_;
  FilterSet filters_ GUARDED_BY(list_.mutex());
  struct HiddenRow {
    RowKey key;
    RowCells cells;
    RowValues values;
  };
  std::vector<HiddenRow> hiddenRows_ GUARDED_BY(list_.mutex());
};

}  // namespace corvane
