#include "storage/row_sort.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include "engine/text_format.h"

namespace corvane {

namespace {

constexpr float kNoSize = -std::numeric_limits<float>::infinity();

int CompareBytes(std::string_view a, std::string_view b) {
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

bool IsSizeColumn(int column) {
  return column == kColumnDownload || column == kColumnUpload || column == kColumnTotal;
}

float SizeSortValue(std::string_view cell) {
  std::optional<double> value = ByteCountValue(cell);
  if (!value) return kNoSize;
  // A double beyond float's range has no float value; no count comes near.
  constexpr double kLargest = std::numeric_limits<float>::max();
  return static_cast<float>(std::clamp(*value, -kLargest, kLargest));
}

int CompareRows(int column, const RowCells& a, const RowCells& b) {
  if (column < 0 || column >= kColumnCount) return 0;
  if (IsSizeColumn(column)) {
    float x = SizeSortValue(a[column]);
    float y = SizeSortValue(b[column]);
    return x > y ? -1 : x < y ? 1 : 0;
  }
  return -CompareBytes(a[column], b[column]);
}

std::vector<int> SortOrder(int column, const std::vector<RowCells>& rows) {
  std::vector<int> order(rows.size());
  std::iota(order.begin(), order.end(), 0);
  if (column < 0 || column >= kColumnCount) return order;
  if (IsSizeColumn(column)) {
    // Each cell is read once, not once per comparison.
    std::vector<float> keys(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) keys[i] = SizeSortValue(rows[i][column]);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return keys[x] > keys[y]; });
  } else {
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
      return CompareBytes(rows[x][column], rows[y][column]) > 0;
    });
  }
  return order;
}

void SortRows(int column, std::vector<RowCells>& rows) {
  std::vector<int> order = SortOrder(column, rows);
  std::vector<RowCells> sorted;
  sorted.reserve(rows.size());
  for (int index : order) sorted.push_back(std::move(rows[index]));
  rows = std::move(sorted);
}

}  // namespace corvane
