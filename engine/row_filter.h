// The filters as the traffic list applies them: which flows the list hides,
// and the rows of the flows they hide, kept aside with their texts, counts
// and first activity, so that a log holds them (Save & Clear, midnight,
// Exit) and they come back as they were when the rule goes.
//
// Everything runs under the list's lock: IsHidden() and ForgetHiddenRows()
// require it (the caller names the list it locked, which must be this
// filter's), SetFilters() takes it.
#pragma once

#include <string_view>
#include <unordered_map>
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

  // A flow the filters hide, first seen with `values`: kept aside.
  void NoteHiddenFlow(const TrafficList& list, const RowKey& key, RowTexts texts,
                      const RowValues& values) REQUIRES(list.mutex());
  // When flow `key` is kept aside as hidden: takes its new counts and last
  // activity from `values` (its first activity stays) and returns true.
  bool UpdateHiddenFlow(const TrafficList& list, const RowKey& key, const RowValues& values)
      REQUIRES(list.mutex());
  // Takes `row` out of the list and keeps it aside as hidden.
  void HideRow(TrafficList& list, int row) REQUIRES(list.mutex());
  // The rows kept aside, as a log writes them, and the counts of one.
  std::vector<RowCells> HiddenRows(const TrafficList& list) const REQUIRES(list.mutex());
  const RowValues* HiddenValues(const TrafficList& list, const RowKey& key) const
      REQUIRES(list.mutex());

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
    RowTexts texts;
    RowValues values;
    uint64_t order = 0;  // when it was put aside, for the log's order
  };
  struct KeyHash {
    size_t operator()(const RowKey& key) const noexcept;
  };
  std::unordered_map<RowKey, HiddenRow, KeyHash> hiddenRows_ GUARDED_BY(list_.mutex());
  uint64_t hiddenCount_ GUARDED_BY(list_.mutex()) = 0;
};

}  // namespace corvane
