// The order of the traffic list and of the Logs dialog when the user clicks a
// column heading: one comparison for both.
//
// Byte-count columns ("DL", "UL", "DL & UL") and the activity times compare
// by the row's numbers; rows read back from a log get their numbers from
// their texts once (ValuesOfCells: B, KB, MB, GB, TB; a text without a number
// counts as 0). "Remote IP" compares the addresses (IPv4 before IPv6, texts
// that are no address before both). Every other column compares its texts
// byte by byte as unsigned characters, with no locale. A sort puts the
// greatest first or the smallest first. Equal rows keep their relative
// order, so sorting twice by the same column gives the same list.
//
// Pure functions; SortTrafficList must be called while holding a
// TrafficList::Lock (the sort thread holds it for the whole sort).
#pragma once

#include <string_view>
#include <vector>

#include "engine/traffic_list.h"

namespace corvane {

enum class SortDirection { kGreatestFirst, kSmallestFirst };

// True for the columns that hold byte counts.
bool IsByteCountColumn(int column);

// True when row a comes before row b in a sort by `column` (a is the
// greater).
bool RowComesFirst(int column, const RowCells& aCells, const RowValues& a, const RowCells& bCells,
                   const RowValues& b);
// The same, given only each row's text of `column` (unused for the columns
// that compare numbers).
bool RowComesFirst(int column, std::string_view aText, const RowValues& a, std::string_view bText,
                   const RowValues& b);

// The new order of `rows` (top to bottom) for a sort by `column`:
// result[newIndex] = oldIndex.
std::vector<int> SortedRowOrder(const std::vector<RowCells>& rows, int column,
                                SortDirection direction = SortDirection::kGreatestFirst);

// Sorts the list by `column`. Requires a TrafficList::Lock. Makes no
// record: the window sorts its own rows by the same comparison.
void SortTrafficList(TrafficList& list, int column,
                     SortDirection direction = SortDirection::kGreatestFirst)
    REQUIRES(list.mutex());

}  // namespace corvane
