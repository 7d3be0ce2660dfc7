// The order of the traffic list when the user clicks a column heading.
//
// Byte-count columns ("DL", "UL", "DL & UL") compare by value: the number of
// the cell times its unit (a unit word beginning with "K" is 1024, "M"
// 1048576, "G" 1073741824, anything else 1). Every other column compares its
// texts byte by byte as unsigned characters, with no locale. The greater
// value comes first; there is no ascending order. Equal rows keep their
// relative order, so sorting twice by the same column gives the same list.
//
// Pure functions; SortTrafficList must be called while holding a
// TrafficList::Lock (the sort thread holds it for the whole sort).
#pragma once

#include <string_view>
#include <vector>

#include "engine/traffic_list.h"

namespace corvane {

// True for the columns that hold byte counts.
bool IsByteCountColumn(int column);

// The value of a byte-count cell ("1.50 KB" -> 1536). Texts that do not begin
// with a number give 0.
double SortValueOfByteCount(std::string_view text);

// True when `a` comes before `b` in a sort by `column` (a is the greater).
bool RowComesFirst(int column, std::string_view a, std::string_view b);

// The new order of `rows` (top to bottom) for a sort by `column`:
// result[newIndex] = oldIndex.
std::vector<int> SortedRowOrder(const std::vector<RowCells>& rows, int column);

// Sorts the list by `column`. Requires a TrafficList::Lock. Emits one
// Reorder record (none when the order does not change).
void SortTrafficList(TrafficList& list, int column);

}  // namespace corvane
