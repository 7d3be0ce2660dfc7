// The sort order of the traffic list and of the Logs dialog: by one column,
// greatest first.
//
// The size columns ("DL", "UL", "DL & UL") compare by value: the cell read
// by ByteCountValue (a number and a unit word, B to TB), as a
// single-precision value. A cell without a number sorts below every size.
// Every other column compares its texts byte by byte (unsigned,
// case-sensitive). Rows with equal keys keep their order.
//
// Pure functions; any thread (the sort thread calls them under listMutex).
#pragma once

#include <string_view>
#include <vector>

#include "engine/traffic_list.h"

namespace corvane {

// True for the columns that hold byte counts.
bool IsSizeColumn(int column);

// The sort value of a size cell; -infinity when it holds no number.
float SizeSortValue(std::string_view cell);

// Negative when `a` comes before `b` (its cell is the greater), positive
// when after, 0 when their keys are equal.
int CompareRows(int column, const RowCells& a, const RowCells& b);

// The new order of `rows` sorted by `column`: order[newIndex] = oldIndex,
// ready for TrafficList::Reorder.
std::vector<int> SortOrder(int column, const std::vector<RowCells>& rows);

// Sorts `rows` in place.
void SortRows(int column, std::vector<RowCells>& rows);

}  // namespace corvane
