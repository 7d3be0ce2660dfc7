#include "engine/row_order.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <string>

#include "engine/text_format.h"

namespace corvane {

bool IsByteCountColumn(int column) {
  return column == kColumnDownload || column == kColumnUpload || column == kColumnTotal;
}

double SortValueOfByteCount(std::string_view text) { return ByteCountValue(text).value_or(0); }

namespace {

// Byte-wise, as unsigned characters: std::string_view's compare uses
// char_traits<char>, which compares as unsigned char.
bool TextGreater(std::string_view a, std::string_view b) { return a.compare(b) > 0; }

}  // namespace

bool RowComesFirst(int column, std::string_view a, std::string_view b) {
  if (IsByteCountColumn(column)) return SortValueOfByteCount(a) > SortValueOfByteCount(b);
  return TextGreater(a, b);
}

namespace {

std::vector<int> SortedOrderOfCells(const std::vector<std::string_view>& cells, int column) {
  std::vector<int> order(cells.size());
  std::iota(order.begin(), order.end(), 0);
  if (IsByteCountColumn(column)) {
    // Parse each cell once, not once per comparison.
    std::vector<double> values(cells.size());
    for (size_t i = 0; i < cells.size(); ++i) values[i] = SortValueOfByteCount(cells[i]);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return values[static_cast<size_t>(a)] > values[static_cast<size_t>(b)];
    });
  } else {
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return TextGreater(cells[static_cast<size_t>(a)], cells[static_cast<size_t>(b)]);
    });
  }
  return order;
}

}  // namespace

std::vector<int> SortedRowOrder(const std::vector<RowCells>& rows, int column) {
  if (column < 0 || column >= kColumnCount) {
    std::vector<int> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  std::vector<std::string_view> cells;
  cells.reserve(rows.size());
  for (const RowCells& row : rows) cells.push_back(row[static_cast<size_t>(column)]);
  return SortedOrderOfCells(cells, column);
}

void SortTrafficList(TrafficList& list, int column) {
  if (column < 0 || column >= kColumnCount) return;
  std::vector<std::string_view> cells;
  cells.reserve(static_cast<size_t>(list.Count()));
  for (int row = 0; row < list.Count(); ++row) cells.push_back(list.Cell(row, column));
  std::vector<int> order = SortedOrderOfCells(cells, column);
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i] != static_cast<int>(i)) {
      list.Reorder(order);
      return;
    }
  }
}

}  // namespace corvane
